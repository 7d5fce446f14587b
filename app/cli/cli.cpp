// What zmk-cli was asked to do, set up in order: the image, the serial
// numbers' plan, the log, the database; then one device here, or many.
#include "app/cli/cli.h"

#include "app/cli/list.h"
#include "app/cli/single.h"
#include "app/station/batch.h"

#include <cstdio>

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

// --db: opened, the plan's pool checked, the spools earlier runs left
// written, then the reservations nobody will end spoiled (a record in a
// spool tells what became of its number).
int open_database(const cli_options &opt, const serial_plan &plan, ledger *serials, keeper *records,
                  store **db)
{
    const std::string shown = store_display_name(opt.db);
    std::string why;
    if (store_name_valid(opt.db, &why) != LINE_OK)
        return refuse(RUN_EXIT_USAGE, why);
    *db = store_open(opt.db, &why);
    if (!*db)
        return refuse(RUN_EXIT_PORT,
                      "cannot open the database " + shown + ": " + why + "; no device was touched");
    const std::string host = cli_station_name(opt);
    if (plan.given) {
        const line_status s = ledger_open(serials, *db, shown, plan, host, &why);
        if (s != LINE_OK)
            return refuse(s == LINE_AWAY ? RUN_EXIT_PORT : RUN_EXIT_USAGE, why);
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
    set.slots = opt.slots;
    set.db = opt.db;
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
    if (serial_plan_make(opt.serial, !opt.db.empty(), image.size, &plan, &why) != LINE_OK)
        return refuse(RUN_EXIT_USAGE, why + "\nRun with --help for more information.");
    if (const int rc = check_log(opt))
        return rc;
    keeper_init(&records, opt.log, nullptr, "");
    if (!opt.db.empty())
        if (const int rc = open_database(opt, plan, &serials, &records, &db))
            return rc;
    ledger *numbers = plan.given ? &serials : nullptr;
    if (opt.station || opt.ports.size() > 1 || !opt.ui.empty())
        return run_many(opt, image, numbers, &records);
    return cli_single(opt, &image, numbers, &records);
}
