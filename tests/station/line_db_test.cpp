// A line of stations on one PostgreSQL server (a throwaway cluster started
// here): one range of serial numbers, never a number twice, one table of
// records; and the server going away mid-shift.
#include "tests/station/line_support.h"
#include "tests/support/pg_cluster.h"

#include <set>

namespace {

struct line_db : ::testing::Test {
    device_sims sims;
    const std::string &dir = sims.dir;
    pg_cluster *server = nullptr;
    std::string uri;

    void SetUp() override
    {
        std::string why;
        server = pg_cluster_new(&why);
        ASSERT_TRUE(server) << why;
        uri = pg_cluster_uri(server);
        // The line's pool, made once by its supervisor before any station runs.
        const run_result r = run_program(
            {ZMK_CLI, "--db", uri, "--new-pool", "--serial-at", "0x100", "--serial-start", "1"},
            dir);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    void TearDown() override
    {
        if (server)
            pg_cluster_free(server);
    }
    // A station serving the links dir/NAME-*, its spool in a folder of its own.
    pid_t station(const std::string &name, const std::vector<std::string> &more = {})
    {
        const std::string state = dir + "/state-" + name;
        setenv("XDG_STATE_HOME", state.c_str(), 1);
        std::vector<std::string> args{ZMK_CLI,          "--station",
                                      "--match",        dir + "/" + name + "-*",
                                      "--station-name", name,
                                      "--db",           uri,
                                      "--serial-at",    "0x100",
                                      "--serial-start", "1",
                                      "--log",          dir + "/" + name + ".jsonl"};
        args.insert(args.end(), more.begin(), more.end());
        const pid_t pid = sim_spawn(args, dir + "/" + name + ".out", dir + "/" + name + ".err");
        EXPECT_TRUE(wait_for(5000, [&] { return has(err(name), "waiting for devices"); }));
        return pid;
    }
    std::string out(const std::string &name) { return sim_slurp(dir + "/" + name + ".out"); }
    std::string err(const std::string &name) { return sim_slurp(dir + "/" + name + ".err"); }
    bool plug(const std::string &link, const std::string &baud = "0")
    {
        return sims.start({"--baud", baud, "--erase-ms", "20", "--expect", ZMK_IMAGE_FILE,
                           "--expect-skip", "0x100:4", "--show", "0x100:4", "--quiet-ms", "200",
                           "--max-seconds", "60", "--link", dir + "/" + link});
    }
    // Why the station's page says no device is started; null while they are.
    json halt(const std::string &name)
    {
        const std::string url = page_url(err(name));
        const json st = json::parse(page_http(dir, "GET", url + "api/status"), nullptr, false);
        return st.is_object() ? st.value("halt", json("no status")) : json("no status");
    }
    std::string psql(const std::string &query)
    {
        return run_program({"psql", uri, "-X", "-A", "-t", "-F", " ", "-c", query}, dir).out;
    }
};

// The two queries a line engineer runs, as the README gives them.
const char *yield_today =
    "SELECT host, count(*) AS programmed, sum(CASE WHEN result = 'ok' THEN 1 ELSE 0 END) AS ok, "
    "round(100.0 * sum(CASE WHEN result = 'ok' THEN 1 ELSE 0 END) / count(*), 1) AS yield "
    "FROM records WHERE time >= '2000-01-01' AND result <> 'in-use' AND (message IS NULL OR "
    "message NOT LIKE 'not started%') GROUP BY host ORDER BY host";
const char *serials_between =
    "SELECT time, host, port, usb_serial, serial_value, result FROM records "
    "WHERE serial_value IS NOT NULL AND time BETWEEN '2000-01-01T00:00:00Z' AND "
    "'2100-01-01T00:00:00Z' ORDER BY serial_value";

} // namespace

TEST_F(line_db, ThreeStationsOfFourDevicesShareOneRange)
{
    const std::vector<std::string> names{"st1", "st2", "st3"};
    std::vector<pid_t> stations;
    for (const std::string &name : names)
        stations.push_back(station(name));
    for (int k = 0; k < 4; ++k)
        for (const std::string &name : names)
            ASSERT_TRUE(plug(name + "-dut" + std::to_string(k)));
    std::set<std::string> flashed;
    for (size_t i = 0; i < sims.sims.size(); ++i) {
        const json rep = sims.report(i, 20000);
        EXPECT_TRUE(rep.value("ok", false)) << rep.dump();
        flashed.insert(rep["shown"].at(0).value("hex", ""));
    }
    EXPECT_EQ(flashed.size(), 12u) << "twelve devices, twelve numbers";
    for (size_t s = 0; s < names.size(); ++s) {
        ASSERT_TRUE(wait_for(5000, [&] { return has(out(names[s]), "4 programmed: 4 ok"); }))
            << out(names[s]);
        kill(stations[s], SIGINT);
        EXPECT_EQ(wait_exit(stations[s], 5000), 0) << err(names[s]);
    }
    EXPECT_EQ(psql("SELECT count(*), count(DISTINCT run), min(serial_value), max(serial_value) "
                   "FROM records WHERE result = 'ok'"),
              "12 12 1 12\n");
    EXPECT_EQ(psql("SELECT count(*) FROM serials WHERE state = 'used'"), "12\n");
    std::printf("yield per station:\n%s\nserials between two times:\n%s", psql(yield_today).c_str(),
                psql(serials_between).c_str());
}

TEST_F(line_db, TheServerGoesAwayMidShiftAndComesBack)
{
    const pid_t pid = station("st", {"--ui", "127.0.0.1:0"});
    ASSERT_TRUE(plug("st-a", "115200")); // a run of seconds
    ASSERT_TRUE(
        wait_for(10000, [&] { return has(psql("SELECT state FROM serials"), "reserved"); }));
    std::string why;
    ASSERT_TRUE(pg_cluster_stop(server, &why)) << why;

    // The running device finishes; its record waits on the station.
    EXPECT_TRUE(sims.report(0, 20000).value("ok", false));
    ASSERT_TRUE(wait_for(5000, [&] { return has(out("st"), "PASS " + dir + "/st-a"); }))
        << out("st");
    EXPECT_TRUE(has(out("st"), "takes no records now")) << out("st");
    // No device starts without a number: the one plugged in meanwhile is told
    // it was not started, and why.
    ASSERT_TRUE(plug("st-b"));
    ASSERT_TRUE(wait_for(5000, [&] {
        return has(out("st"), "FAIL " + dir +
                                  "/st-b  not started: no serial number can be "
                                  "reserved from");
    })) << out("st");
    EXPECT_EQ(json_number(sim_finish(&sims.sims[1], 0), "exchanges"), 0);
    // The page says it across its width, in the terminal's words.
    const json said = halt("st");
    EXPECT_TRUE(said.is_string() &&
                has(said.get<std::string>(), "no serial number can be "
                                             "reserved from") &&
                has(out("st"), said.get<std::string>()))
        << said.dump();

    ASSERT_TRUE(pg_cluster_start(server, &why)) << why;
    ASSERT_TRUE(plug("st-c"));
    EXPECT_TRUE(sims.report(2, 20000).value("ok", false));
    ASSERT_TRUE(wait_for(10000, [&] { return has(out("st"), "2 programmed: 2 ok"); })) << out("st");
    ASSERT_TRUE(wait_for(5000, [&] { return has(out("st"), "takes records again"); })) << out("st");
    EXPECT_TRUE(has(out("st"), "serial numbers are reserved from")) << out("st");
    EXPECT_TRUE(halt("st").is_null()) << halt("st").dump();
    kill(pid, SIGINT);
    EXPECT_EQ(wait_exit(pid, 5000), 3) << "a device was not started: " << err("st");
    // Each record once, in order; the log has them all too.
    EXPECT_EQ(psql("SELECT port, serial_value, serial_state FROM records WHERE serial_value IS NOT "
                   "NULL ORDER BY id"),
              dir + "/st-a 1 used\n" + dir + "/st-c 2 used\n");
    EXPECT_EQ(psql("SELECT count(*) FROM records"), "3\n");
    EXPECT_EQ(read_records(dir + "/st.jsonl").size(), 3u);
    // Every insertion counted, those made while the server was away too.
    EXPECT_EQ(psql("SELECT slot, insertions FROM bays WHERE station = 'st' ORDER BY slot"),
              dir + "/st-a 1\n" + dir + "/st-b 1\n" + dir + "/st-c 1\n");
    // The ledger's history of the shift, as an engineer reads it.
    EXPECT_EQ(psql("SELECT value, event FROM serial_events ORDER BY value, time, id"),
              "1 reserved\n1 used\n2 reserved\n2 used\n");
    std::printf(
        "serial_events of the shift:\n%s",
        psql("SELECT value, event, time, host, port FROM serial_events ORDER BY time, id").c_str());
}

// A single run whose server went away keeps its record in the station's
// spool; the next run on the station writes it, once.
TEST_F(line_db, TheNextRunWritesWhatASingleRunSpooled)
{
    setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
    ASSERT_TRUE(plug("a", "115200"));
    const std::vector<std::string> cli{ZMK_CLI, "--db",           uri, "--serial-at",
                                       "0x100", "--serial-start", "1", "--quiet"};
    std::vector<std::string> args = cli;
    args.push_back(dir + "/a");
    const pid_t pid = sim_spawn(args, dir + "/a.out", dir + "/a.err");
    ASSERT_TRUE(
        wait_for(10000, [&] { return has(psql("SELECT state FROM serials"), "reserved"); }));
    std::string why;
    ASSERT_TRUE(pg_cluster_stop(server, &why)) << why;
    EXPECT_EQ(wait_exit(pid, 20000), 0) << "the record is kept on the station";
    EXPECT_TRUE(has(sim_slurp(dir + "/a.err"), "the next run on this station writes it"))
        << sim_slurp(dir + "/a.err");

    ASSERT_TRUE(pg_cluster_start(server, &why)) << why;
    ASSERT_TRUE(plug("b"));
    args = cli;
    args.push_back(dir + "/b");
    const run_result r = run_program(args, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(
        has(r.err, "1 record left on this station by an earlier run written to the database"))
        << r.err;
    EXPECT_EQ(psql("SELECT port, serial_value, serial_state FROM records ORDER BY id"),
              dir + "/a 1 used\n" + dir + "/b 2 used\n");
}
