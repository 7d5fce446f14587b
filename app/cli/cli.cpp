// What zmk-cli was asked to do, set up in order: the image, the serial
// numbers' plan, the log, the database; then one device here, or many.
#include "app/cli/cli.h"

#include "app/cli/job.h"
#include "app/cli/list.h"
#include "app/cli/single.h"
#include "app/job/digest.h"
#include "app/station/batch.h"

#include <cstdio>
#include <filesystem>

namespace {

int refuse(int status, const std::string &text)
{
    std::fprintf(stderr, "zmk-cli: %s\n", text.c_str());
    return status;
}

// Records that cannot be kept are found out before any device is touched.
int check_log(const cli_options &opt)
{
    std::string why;
    if (opt.log.empty() || record_log_check(opt.log, &why) == LINE_OK)
        return 0;
    return refuse(RUN_EXIT_PORT,
                  "cannot open the log " + opt.log + ": " + why + "; no device was touched");
}

// The database's name in what zmk-cli says: a file's absolute path, a
// server's address without its password.
std::string where_of(const std::string &db)
{
    if (store_is_server_name(db))
        return store_display_name(db);
    std::error_code ec;
    const std::filesystem::path abs = std::filesystem::absolute(db, ec);
    return ec ? db : abs.string();
}

// A production run never makes a ledger by accident: a missing file is made
// only for --new-pool, or for records alone; both are said.
int check_file(const cli_options &opt, const serial_plan &plan, const std::string &where)
{
    std::error_code ec;
    if (store_is_server_name(opt.db) || std::filesystem::exists(opt.db, ec))
        return 0;
    if (plan.given && !plan.new_pool)
        return refuse(RUN_EXIT_USAGE, "there is no database " + where +
                                          ": give --new-pool with the pool's definition to start "
                                          "one; no device was touched");
    std::fprintf(stderr, "zmk-cli: new database %s%s\n", where.c_str(),
                 plan.given ? "" : " (records only)");
    return 0;
}

// Where this run's numbers come from, said at the start.
int say_numbers(const serial_plan &plan, const run_image &image, ledger *serials,
                const std::string &where)
{
    std::string why;
    if (serial_plan_fits(plan, image.size, &why) != LINE_OK)
        return refuse(RUN_EXIT_USAGE, why);
    uint64_t next = 0, left = 0;
    if (store_pool_left(serials->db, plan.pool, &next, &left, &why) != LINE_OK)
        return refuse(RUN_EXIT_PORT, "cannot use the database " + where + ": " + why);
    if (plan.new_pool)
        std::fprintf(stderr, "zmk-cli: new pool %s in %s\n", plan.pool.c_str(), where.c_str());
    std::fprintf(stderr, "zmk-cli: numbers: pool %s in %s, %s at 0x%llx, next %llu, %llu left\n",
                 plan.pool.c_str(), where.c_str(), plan.format_name.c_str(),
                 static_cast<unsigned long long>(plan.at), static_cast<unsigned long long>(next),
                 static_cast<unsigned long long>(left));
    return 0;
}

// --db: opened, the plan's pool checked, the spools earlier runs left
// written, then the reservations nobody will end spoiled (a record in a
// spool tells what became of its number).
int open_database(const cli_options &opt, serial_plan *plan, const run_image &image,
                  ledger *serials, keeper *records, store **db)
{
    const std::string shown = store_display_name(opt.db), where = where_of(opt.db);
    std::string why;
    if (store_name_valid(opt.db, &why) != LINE_OK)
        return refuse(RUN_EXIT_USAGE, why);
    if (const int rc = check_file(opt, *plan, where))
        return rc;
    *db = store_open(opt.db, &why);
    if (!*db)
        return refuse(RUN_EXIT_PORT,
                      "cannot open the database " + shown + ": " + why + "; no device was touched");
    const std::string host = cli_station_name(opt);
    if (plan->given) {
        const line_status s = ledger_open(serials, *db, shown, plan, host, &why);
        if (s != LINE_OK)
            return refuse(s == LINE_AWAY ? RUN_EXIT_PORT : RUN_EXIT_USAGE,
                          (s == LINE_REFUSED ? where + ": " : "") + why);
        if (const int rc = say_numbers(*plan, image, serials, where))
            return rc;
    }
    keeper_init(records, opt.log, *db, shown);
    serials->db = *db;
    serials->host = host;
    ledger_spoil_stale(serials);
    return 0;
}

int run_many(const cli_options &opt, const run_image &image, ledger *serials, keeper *records)
{
    static batch_settings set;
    set.run = opt.run;
    set.image_path = opt.image;
    set.host = cli_station_name(opt);
    set.station = opt.station;
    set.jobs = opt.jobs;
    set.match = opt.match;
    set.ui = opt.ui;
    set.ui_hosts = opt.ui_hosts;
    set.slots = opt.slots;
    set.db = opt.db;
    set.job = cli_job_record(opt);
    set.job_sealed = opt.job_info.sealed;
    set.hold_after_failures = opt.hold_after_failures;
    set.rated_insertions = opt.rated_insertions;
    static batch b;
    batch_init(&b, set, image, serials, records);
    return opt.station ? station_run(&b) : batch_run_ports(&b, opt.ports);
}

} // namespace

int cli_run(const cli_options &opt)
{
    if (opt.list)
        return cli_list_ports(opt);
    static run_image image;
    static serial_plan plan;
    static ledger serials;
    static keeper records;
    static store *db = nullptr;
    std::string why;
    if (!run_image_load(opt.image, &image, &why))
        return refuse(RUN_EXIT_USAGE, why);
    if (image.size)
        image.sha256 = digest_sha256_hex(run_image_bytes(image), image.size);
    if (const int rc = cli_job_image(opt, image))
        return rc;
    if (serial_plan_make(opt.serial, !opt.db.empty(), image.size, &plan, &why) != LINE_OK)
        return refuse(RUN_EXIT_USAGE, why + "\nRun with --help for more information.");
    if (opt.check)
        return cli_job_report(opt, image, plan);
    if (const int rc = check_log(opt))
        return rc;
    keeper_init(&records, opt.log, nullptr, "");
    if (!opt.db.empty())
        if (const int rc = open_database(opt, &plan, image, &serials, &records, &db))
            return rc;
    if (opt.ports.empty() && !opt.station) // --new-pool alone: the pool is made
        return RUN_EXIT_DONE;
    ledger *numbers = plan.given ? &serials : nullptr;
    if (opt.station || opt.ports.size() > 1 || !opt.ui.empty())
        return run_many(opt, image, numbers, &records);
    return cli_single(opt, &image, numbers, &records);
}
