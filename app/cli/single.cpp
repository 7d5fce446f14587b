#include "app/cli/single.h"

#include "app/cli/job.h"

#include "platform/process.h"
#include "platform/tick.h"

#include <cstdio>

namespace {

// The device's own number, kept in the database before it returns.
int reserve_number(const cli_options &opt, ledger *serials, ledger_claim *claim)
{
    port_info usb{};
    port_identify(opt.run.port.c_str(), &usb);
    std::string why;
    switch (ledger_reserve(serials, claim->run, opt.run.port, usb, claim, &why)) {
    case LINE_OK: return 0;
    case LINE_EXHAUSTED:
        std::fprintf(stderr,
                     "zmk-cli: the serial numbers of pool '%s' are used up; no device was "
                     "touched\n",
                     serials->plan->pool.c_str());
        return RUN_EXIT_USAGE;
    default:
        std::fprintf(stderr,
                     "zmk-cli: no serial number can be reserved from %s: %s; no device "
                     "was touched\n",
                     serials->name.c_str(), why.c_str());
        return RUN_EXIT_PORT;
    }
}

record_facts facts_of(const cli_options &opt, const run_image &image, const ledger *serials,
                      const ledger_claim &claim)
{
    record_facts f;
    f.host = cli_station_name(opt);
    f.port = opt.run.port;
    port_identify(opt.run.port.c_str(), &f.usb);
    f.run = claim.run;
    f.image_name = image.name;
    f.image_size = image.size;
    f.image_crc32 = image.crc32;
    f.image_sha256 = image.sha256;
    f.job = cli_job_record(opt);
    f.written_crc32 = run_image_written_crc32(image); // its copy holds the number
    if (serials) {
        f.serial_pool = serials->plan->pool;
        f.serial_at = serials->plan->at;
        f.serial_format = serials->plan->format_name;
        f.serial_value = claim.value;
        f.serial_bytes = serial_hex(claim.bytes.data(), claim.bytes.size());
    }
    return f;
}

// The run's last line: its serial number and what became of it. A pass's
// goes to standard output (not with --quiet), any other end's with the errors.
void say_serial(const cli_options &opt, const record_facts &f, int status)
{
    if (f.serial_state.empty())
        return;
    const std::string words = record_serial_words(f.serial_value, f.serial_state);
    if (status != RUN_EXIT_DONE)
        std::fprintf(stderr, "zmk-cli: %s\n", words.c_str());
    else if (!opt.run.quiet)
        std::printf("%s\n", words.c_str());
    std::fflush(stdout);
}

// The record of a single run; the status it ends with (4 when a store asked
// for does not hold it).
int keep(const cli_options &opt, keeper *records, const record_facts &f)
{
    const keeper_kept k = keeper_keep(records, record_make(f));
    if (k.kept && k.spooled)
        std::fprintf(stderr,
                     "zmk-cli: the database %s cannot take the record now (%s): it is kept in "
                     "%s, and the next run on this station writes it\n",
                     records->db_name.c_str(), k.why.c_str(), records->spool.c_str());
    if (!k.kept)
        std::fprintf(stderr, "zmk-cli: %s%s, but %s\n", f.port.c_str(),
                     f.end.exit == RUN_EXIT_DONE ? " was programmed" : " failed", k.why.c_str());
    keeper_report(records);
    const int status = k.kept ? f.end.exit : RUN_EXIT_RECORD;
    say_serial(opt, f, status);
    return status;
}

} // namespace

int cli_single(const cli_options &opt, run_image *image, ledger *serials, keeper *records)
{
    proc_catch_interrupts(true);
    ledger_claim claim;
    claim.run = record_run_name(cli_station_name(opt));
    if (serials) {
        if (const int rc = reserve_number(opt, serials, &claim))
            return rc;
        run_image_put(image, serials->plan->at, claim.bytes);
    }
    const std::time_t started = std::time(nullptr);
    run_watch watch;
    run_watch_init(&watch, platform_tick_ms(), serials ? int64_t(serials->plan->at) : -1);
    const run_end end = run_device(opt.run, *image, &watch, [&] {
        if (serials)
            ledger_tick(serials); // keeps the reservation alive on a long run
        keeper_flush(records);
    });
    if (opt.log.empty() && !records->db)
        return end.exit;
    record_facts f = facts_of(opt, *image, serials, claim);
    f.start = started;
    f.end = end;
    if (serials)
        f.serial_state = ledger_state(end.exit == RUN_EXIT_DONE, watch.serial_sent);
    return keep(opt, records, f);
}
