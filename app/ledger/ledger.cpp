#include "app/cli/db.h"

#include "app/cli/cli.h"
#include "framework/bytes.h"
#include "framework/zassert.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/tick.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// The station's own state: XDG_STATE_HOME, Windows' LOCALAPPDATA, else
// ~/.local/state.
fs::path state_dir()
{
    for (const char *var : {"XDG_STATE_HOME", "LOCALAPPDATA"})
        if (const char *v = std::getenv(var); v && *v)
            return fs::path(v) / "zmk";
    const char *home = std::getenv("HOME");
    return fs::path(home && *home ? home : ".") / ".local" / "state" / "zmk";
}

// Spools are named after the database, and after the process that owns them.
std::string spool_prefix(const std::string &name)
{
    char text[32];
    std::snprintf(text, sizeof text, "spool-%08x-",
                  unsigned(crc32_block(reinterpret_cast<const uint8_t *>(name.data()),
                                       int32_t(name.size()))));
    return text;
}

bool alive(int64_t pid) { return proc_alive(pid); }

// Whether the database has the record now. One whose serial the ledger
// cannot follow is kept there all the same, and said.
bool taken(cli_db *t, const std::string &record_json)
{
    const store_status s = store_finish(t->db, record_json, &t->why);
    if (s == STORE_MISMATCH)
        std::fprintf(stderr,
                     "zmk-cli: the database %s keeps a record its ledger cannot follow: %s\n",
                     t->name.c_str(), t->why.c_str());
    return s != STORE_AWAY;
}

// Spools left by processes that ended before their database took every
// record: written now, in order; a record the database has already is
// taken once.
void adopt_orphans(cli_db *t, const fs::path &dir, const std::string &prefix)
{
    std::error_code ec;
    for (const fs::directory_entry &e : fs::directory_iterator(dir, ec)) {
        const std::string file = e.path().filename().string();
        if (file.rfind(prefix, 0) != 0)
            continue;
        const long long pid = std::atoll(file.c_str() + prefix.size());
        if (pid == t->pid || proc_alive(pid))
            continue;
        std::ifstream in(e.path());
        bool all = true;
        int n = 0;
        for (std::string line; all && std::getline(in, line); ++n)
            all = line.empty() || taken(t, line);
        in.close();
        if (all)
            fs::remove(e.path(), ec);
        std::fprintf(stderr, "zmk-cli: %d record%s left on this station by an earlier run %s\n", n,
                     n == 1 ? "" : "s",
                     all ? "written to the database" : "could not be written yet");
    }
}

int refuse(int status, const std::string &text)
{
    std::fprintf(stderr, "zmk-cli: %s\n", text.c_str());
    return status;
}

int check_pool(cli_db *t)
{
    store_pool pool;
    pool.name = t->plan->pool;
    pool.list = t->plan->list;
    pool.start = t->plan->start;
    pool.step = t->plan->step;
    pool.last = t->plan->last;
    pool.values = t->plan->values;
    std::string why;
    switch (store_pool_check(t->db, pool, &why)) {
    case STORE_OK: return 0;
    case STORE_AWAY:
        return refuse(CLI_EXIT_PORT, "cannot use the database " + t->name + ": " + why);
    case STORE_EXHAUSTED:
        return refuse(CLI_EXIT_USAGE, "the serial numbers of pool '" + pool.name + "' are used up" +
                                          (why.empty() ? "" : ": " + why));
    default: return refuse(CLI_EXIT_USAGE, why);
    }
}

} // namespace

std::string cli_run_name(const std::string &station)
{
    static unsigned count = 0;
    char text[64];
    std::snprintf(text, sizeof text, "-%lld-%lld-%u", proc_self_id(),
                  static_cast<long long>(std::time(nullptr)), ++count);
    return station + text;
}

std::string cli_station_name(const cli_options &opt)
{
    if (!opt.station_name.empty())
        return opt.station_name;
    char host[128];
    platform_host_name(host, sizeof host);
    return host[0] ? host : "zmk";
}

const char *cli_db_serial_state(bool passed, bool sent)
{
    return passed ? "used" : sent ? "spoiled" : "returned";
}

int cli_db_open(cli_db *t, const cli_options &opt, const serial_plan &plan)
{
    t->host = cli_station_name(opt);
    t->pid = proc_self_id();
    t->plan = &plan;
    t->name = store_display_name(opt.db);
    std::string why;
    if (!store_name_valid(opt.db, &why))
        return refuse(CLI_EXIT_USAGE, why);
    t->db = store_open(opt.db, &why);
    if (!t->db)
        return refuse(CLI_EXIT_PORT, "cannot open the database " + t->name + ": " + why +
                                         "; no device was touched");
    if (plan.given)
        if (const int rc = check_pool(t))
            return rc;
    const int spoiled = store_spoil_stale(t->db, t->host, alive, CLI_DB_STALE_S, &why);
    if (spoiled > 0)
        std::fprintf(stderr,
                     "zmk-cli: %d serial number%s reserved by runs that never ended %s now "
                     "spoiled: nobody knows what their devices hold\n",
                     spoiled, spoiled == 1 ? "" : "s", spoiled == 1 ? "is" : "are");
    const fs::path dir = state_dir();
    std::error_code ec;
    fs::create_directories(dir, ec);
    const std::string prefix = spool_prefix(t->name);
    t->spool = (dir / (prefix + std::to_string(t->pid) + ".jsonl")).string();
    t->touch_ms = platform_tick_ms() + 60000;
    adopt_orphans(t, dir, prefix);
    return 0;
}

void cli_db_close(cli_db *t)
{
    if (t->db)
        store_close(t->db);
    t->db = nullptr;
}

store_status cli_db_reserve(cli_db *t, const std::string &run, const std::string &port,
                            const port_info &usb, cli_claim *out, std::string *why)
{
    const store_who who{run, t->host, t->pid, port, usb.serial, usb.location};
    const store_status s = store_reserve(t->db, t->plan->pool, who, &out->value, why);
    if (s != STORE_OK)
        return s;
    out->run = run;
    out->bytes.assign(t->plan->format.width, 0);
    // The pool was checked against this format: every value in it fits.
    const bool fits = serial_encode(t->plan->format, out->value, out->bytes.data());
    ZMK_ASSERT(fits);
    return STORE_OK;
}

bool cli_db_record(cli_db *t, const std::string &record_json, bool *spooled, std::string *why)
{
    *spooled = false;
    if (cli_db_flush(t, true) && taken(t, record_json))
        return true;
    const std::string line = record_json + "\n";
    if (platform_append_durable(t->spool.c_str(), line.data(), line.size()) != 0) {
        *why = "the database refused it (" + t->why + ") and the spool " + t->spool +
               " cannot be written";
        return false;
    }
    t->waiting.push_back(record_json);
    *spooled = true;
    *why = t->why;
    return true;
}

bool cli_db_flush(cli_db *t, bool now)
{
    const uint32_t tick = platform_tick_ms();
    if (!t->db)
        return true;
    if (!t->waiting.empty() && (now || int32_t(tick - t->retry_ms) >= 0)) {
        t->retry_ms = tick + 1000;
        while (!t->waiting.empty() && taken(t, t->waiting.front()))
            t->waiting.pop_front();
        std::error_code ec;
        if (t->waiting.empty()) // every line of it is in the database now
            fs::remove(t->spool, ec);
    }
    if (t->plan && t->plan->given && int32_t(tick - t->touch_ms) >= 0) {
        t->touch_ms = tick + 60000;
        std::string why;
        (void)store_touch(t->db, t->host, t->pid, &why); // a miss is made up next minute
    }
    return t->waiting.empty();
}
