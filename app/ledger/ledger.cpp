#include "app/ledger/ledger.h"

#include "framework/zassert.h"
#include "platform/machine.h"
#include "platform/process.h"
#include "platform/tick.h"

#include <cstdio>

namespace {

bool alive(int64_t pid) { return proc_alive(pid); }

std::string this_machine()
{
    char id[256] = "";
    platform_machine_id(id, sizeof id);
    return id;
}

store_pool given_of(const serial_plan &plan)
{
    store_pool pool;
    pool.name = plan.pool;
    pool.numbers = plan.numbers;
    pool.list = plan.list;
    pool.start = plan.start;
    pool.step = plan.step;
    pool.last = plan.last;
    pool.values = plan.values;
    // Without --serial-format, a pool that keeps its place keeps its format.
    pool.placed = plan.at_given && (plan.format_given || plan.new_pool);
    pool.at = plan.at;
    pool.format = plan.format_name;
    return pool;
}

// --serial-at or --serial-format alone: the part given must be what the
// pool keeps; a pool that keeps no place yet takes the offset given, written
// as u32le unless the format is given.
line_status place_part(store *db, const serial_plan &plan, store_pool given, store_pool *held,
                       std::string *why)
{
    if (!held->placed) {
        if (!plan.at_given)
            return LINE_OK; // the pool has said what is missing already
        given.placed = true;
        return store_pool_open(db, given, STORE_POOL_EXISTING, false, held, why);
    }
    const uint64_t at = plan.at_given ? plan.at : held->at;
    const std::string &format = plan.format_given ? plan.format_name : held->format;
    if (at == held->at && format == held->format)
        return LINE_OK;
    char text[96];
    std::snprintf(text, sizeof text, " at 0x%llx, not %s at 0x%llx",
                  static_cast<unsigned long long>(held->at), format.c_str(),
                  static_cast<unsigned long long>(at));
    *why = "the pool \"" + plan.pool + "\" writes its numbers as " + held->format + text;
    return LINE_REFUSED;
}

} // namespace

line_status ledger_open(ledger *t, store *db, const std::string &name, serial_plan *plan,
                        const std::string &host, std::string *why)
{
    t->db = db;
    t->name = name;
    t->plan = plan;
    t->host = host;
    t->machine = this_machine();
    t->pid = proc_self_id();
    t->touch_ms = platform_tick_ms() + 60000;
    const store_pool given = given_of(*plan);
    store_pool held;
    line_status s =
        store_pool_open(db, given, plan->new_pool ? STORE_POOL_NEW : STORE_POOL_EXISTING,
                        plan->allow_overlap, &held, why);
    if (s == LINE_OK && (plan->at_given || plan->format_given) && !given.placed)
        s = place_part(db, *plan, given, &held, why);
    if (held.placed && serial_parse_format(held.format, &plan->format)) {
        plan->at = held.at;
        plan->format_name = held.format;
    }
    if (s == LINE_AWAY)
        *why = "cannot use the database " + name + ": " + *why;
    else if (s == LINE_EXHAUSTED)
        *why = "the serial numbers of pool '" + plan->pool + "' are used up" +
               (why->empty() ? "" : ": " + *why);
    return s;
}

void ledger_spoil_stale(ledger *t)
{
    std::string why;
    int spoiled = 0;
    if (t->machine.empty()) // a run without a serial plan spoils all the same
        t->machine = this_machine();
    if (store_spoil_stale(t->db, t->host, t->machine, alive, LEDGER_STALE_S, &spoiled, &why) ==
            LINE_OK &&
        spoiled > 0)
        std::fprintf(stderr,
                     "zmk-cli: %d serial number%s reserved by runs that never ended %s now "
                     "spoiled: nobody knows what their devices hold\n",
                     spoiled, spoiled == 1 ? "" : "s", spoiled == 1 ? "is" : "are");
}

line_status ledger_reserve(ledger *t, const std::string &run, const std::string &port,
                           const port_info &usb, ledger_claim *out, std::string *why)
{
    const store_who who{run, t->host, t->pid, port, usb.serial, usb.location, t->machine};
    const line_status s = store_reserve(t->db, t->plan->pool, who, &out->value, why);
    if (s != LINE_OK)
        return s;
    out->run = run;
    out->bytes.assign(t->plan->format.width, 0);
    // The pool was checked against this format: every value in it fits.
    const bool fits = serial_encode(t->plan->format, out->value, out->bytes.data());
    ZMK_ASSERT(fits);
    return LINE_OK;
}

void ledger_tick(ledger *t)
{
    const uint32_t now = platform_tick_ms();
    if (!t->db || int32_t(now - t->touch_ms) < 0)
        return;
    t->touch_ms = now + 60000;
    std::string why;
    (void)store_touch(t->db, t->host, t->machine, t->pid, &why); // a miss is made up next minute
}

const char *ledger_state(bool passed, bool sent)
{
    return passed ? "used" : sent ? "spoiled" : "returned";
}
