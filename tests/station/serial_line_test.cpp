// Serial numbers through zmk-cli on an SQLite ledger: each device's number
// in its flash, and what becomes of the numbers of devices that fail.
#include "tests/station/line_support.h"

#include <filesystem>
#include <set>

namespace {

struct ledger : ::testing::Test {
    device_sims sims;
    const std::string &dir = sims.dir;
    const std::string db = dir + "/line.db", log = dir + "/log.jsonl";

    // The spools stay in the test's folder.
    void SetUp() override { setenv("XDG_STATE_HOME", dir.c_str(), 1); }

    bool device(std::vector<std::string> faults = {}, const std::string &baud = "0")
    {
        faults.insert(faults.end(), {"--baud", baud, "--erase-ms", "20", "--expect", ZMK_IMAGE_FILE,
                                     "--expect-skip", "0x100:8", "--show", "0x100:8"});
        return sims.start(faults);
    }
    std::vector<std::string> cli(std::vector<std::string> more) const
    {
        std::vector<std::string> args{ZMK_CLI, "--db", db, "--log", log, "--serial-at", "0x100"};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    std::string sql(const std::string &query) const
    {
        return run_program({"sqlite3", "-separator", " ", db, query}, dir + "/sim0").out;
    }
    // The bytes the device's flash holds where the number goes.
    std::string shown(size_t i) { return sims.report(i)["shown"].at(0).value("hex", ""); }
};

// The image's own bytes, in hex.
std::string image_hex(size_t at, size_t n)
{
    const std::string image = sim_slurp(ZMK_IMAGE_FILE).substr(at, n);
    std::string hex;
    char two[3];
    for (const char c : image) {
        std::snprintf(two, sizeof two, "%02x", unsigned(uint8_t(c)));
        hex += two;
    }
    return hex;
}

json serial_of(const std::vector<json> &records, const std::string &port)
{
    return record_of(records, port).value("serial", json());
}

} // namespace

TEST_F(ledger, PassThenFailuresBeforeAndAfterTheNumbersCommand)
{
    ASSERT_TRUE(device());
    ASSERT_TRUE(device({"--hangup-at", "2"}));  // gone while erasing
    ASSERT_TRUE(device({"--hangup-at", "12"})); // gone with the number written
    const std::vector<std::string> p = sims.ptys();
    run_result r = run_program(
        cli({"--new-pool", "--serial-start", "1000", "--jobs", "1", p[0], p[1], p[2]}), dir);
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "PASS " + p[0])) << r.out;
    EXPECT_TRUE(has(r.out, ", serial 1000")) << r.out;
    EXPECT_TRUE(has(r.out, "(serial 1001 returned: the next device gets it)")) << r.out;
    EXPECT_TRUE(has(r.out, "(serial 1001 spoiled: never handed out again)")) << r.out;

    const std::vector<json> records = read_records(log);
    EXPECT_EQ(serial_of(records, p[0]),
              json::parse(R"({"pool":"default","at":256,"format":"u32le","value":1000,
                                 "bytes":"e8030000","state":"used"})"));
    EXPECT_EQ(serial_of(records, p[1]).value("state", ""), "returned");
    EXPECT_EQ(serial_of(records, p[2]).value("state", ""), "spoiled");
    EXPECT_EQ(shown(0), "e8030000" + image_hex(0x104, 4)) << "the number, then the image's bytes";
    EXPECT_TRUE(sims.report(0).value("flash_matches", false)) << "the rest is the image";
    EXPECT_EQ(sql("SELECT value, state FROM serials ORDER BY value"), "1000 used\n1001 spoiled\n");
    EXPECT_EQ(sql("SELECT count(*) FROM records"), "3\n");

    // The next device takes the next number; another pool keeps its own
    // range, in another format.
    ASSERT_TRUE(device());
    r = run_program(cli({"--serial-start", "1000", sims.ptys()[3]}), dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(shown(3), "ea030000" + image_hex(0x104, 4));
    ASSERT_TRUE(device());
    r = run_program(cli({"--new-pool", "--serial-pool", "labels", "--serial-format", "ascii:8",
                         "--serial-start", "77", sims.ptys()[4]}),
                    dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(shown(4), "3030303030303737");
}

TEST_F(ledger, InterruptedAndKilledRunsSpoilTheirNumbers)
{
    // Paced as on a real line: a run lasts seconds.
    ASSERT_TRUE(device({}, "115200"));
    ASSERT_TRUE(device({}, "115200"));
    const auto programming = [&](int i) {
        return wait_for(10000, [&] {
            return has(sim_slurp(dir + "/run" + std::to_string(i) + ".out"), "Programming  200");
        });
    };
    const std::vector<std::string> args =
        cli({"--new-pool", "--serial-start", "1", sims.ptys()[0]});
    pid_t pid = sim_spawn(args, dir + "/run0.out", dir + "/run0.err");
    ASSERT_TRUE(programming(0));
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_exit(pid, 3000), 143);
    EXPECT_EQ(serial_of(read_records(log), sims.ptys()[0]).value("state", ""), "spoiled");

    pid = sim_spawn(cli({"--serial-start", "1", sims.ptys()[1]}), dir + "/run1.out",
                    dir + "/run1.err");
    ASSERT_TRUE(programming(1));
    kill(pid, SIGKILL); // no record, the reservation left open
    EXPECT_EQ(wait_exit(pid, 3000), 128 + SIGKILL);
    EXPECT_EQ(sql("SELECT value, state FROM serials ORDER BY value"), "1 spoiled\n2 reserved\n");

    ASSERT_TRUE(device());
    const run_result r = run_program(cli({"--serial-start", "1", sims.ptys()[2]}), dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.err, "1 serial number reserved by runs that never ended is now spoiled"))
        << r.err;
    EXPECT_EQ(sql("SELECT value, state FROM serials ORDER BY value"),
              "1 spoiled\n2 spoiled\n3 used\n");
    EXPECT_EQ(sql("SELECT event FROM serial_events WHERE value = 2 ORDER BY id"),
              "reserved\nspoiled\n");
}

TEST_F(ledger, UsedUpRangesAndListsTouchNoDevice)
{
    const std::string list = dir + "/serials.txt";
    std::ofstream(list) << "0x10\n0x20\n";
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(device());
    const std::vector<std::string> p = sims.ptys();
    run_result r = run_program(
        cli({"--new-pool", "--serial-list", list, "--jobs", "1", p[0], p[1], p[2]}), dir);
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_TRUE(has(r.out, "the serial numbers of pool 'default' are used up")) << r.out;
    EXPECT_TRUE(has(r.out, "not started: no serial number is left to write into it")) << r.out;
    EXPECT_EQ(shown(0).substr(0, 8), "10000000");
    EXPECT_EQ(shown(1).substr(0, 8), "20000000");
    EXPECT_EQ(json_number(sim_finish(&sims.sims[2]), "exchanges"), 0);

    r = run_program(cli({"--serial-list", list, p[3]}), dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(has(r.err, "are used up")) << r.err;
    r = run_program(cli({"--new-pool", "--serial-pool", "one", "--serial-start", "5",
                         "--serial-end", "5", p[3]}),
                    dir);
    EXPECT_EQ(r.status, 0) << r.err;
    r = run_program(cli({"--serial-pool", "one", "--serial-start", "5", "--serial-end", "5", p[3]}),
                    dir);
    EXPECT_EQ(r.status, 2) << r.err;
    // A pool keeps its definition.
    r = run_program(cli({"--serial-pool", "one", "--serial-start", "6", p[3]}), dir);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(json_number(sim_finish(&sims.sims[3]), "exchanges") > 0, true);
}

TEST_F(ledger, TwoProcessesOnOneFileNeverShareANumber)
{
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(device());
    const std::vector<std::string> p = sims.ptys();
    ASSERT_EQ(run_program(cli({"--new-pool", "--serial-start", "100"}), dir).status, 0);
    const pid_t a =
        sim_spawn(cli({"--serial-start", "100", p[0], p[1], p[2]}), dir + "/a.out", dir + "/a.err");
    const pid_t b =
        sim_spawn(cli({"--serial-start", "100", p[3], p[4], p[5]}), dir + "/b.out", dir + "/b.err");
    EXPECT_EQ(wait_exit(a, 30000), 0) << sim_slurp(dir + "/a.err");
    EXPECT_EQ(wait_exit(b, 30000), 0) << sim_slurp(dir + "/b.err");
    std::set<std::string> flashed;
    for (size_t i = 0; i < p.size(); ++i)
        flashed.insert(shown(i).substr(0, 8));
    EXPECT_EQ(flashed.size(), 6u);
    EXPECT_EQ(sql("SELECT count(*), min(value), max(value) FROM serials WHERE state = 'used'"),
              "6 100 105\n");
}

namespace {

// CRC-32 as the records give it (the IEEE polynomial, reflected).
uint32_t crc32_of(const std::string &bytes)
{
    uint32_t reg = 0xFFFFFFFFu;
    for (const char c : bytes) {
        reg ^= uint8_t(c);
        for (int k = 0; k < 8; ++k)
            reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1)));
    }
    return ~reg;
}

std::string hex8(uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08x", unsigned(v));
    return text;
}

} // namespace

// A log that takes no record does not keep it from the database: the run
// says so and ends with 4, and its number is used, not left reserved. The
// record names both the image's CRC-32 and that of the bytes the device got.
TEST_F(ledger, ASingleRunWhoseLogFailsStillKeepsItsRecordInTheDatabase)
{
    ASSERT_TRUE(device());
    const std::string port = sims.ptys()[0];
    const run_result r = run_program({ZMK_CLI, "--new-pool", "--db", db, "--log", "/dev/full",
                                      "--serial-at", "0x100", "--serial-start", "500", port},
                                     dir);
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_TRUE(has(r.err, port + " was programmed, but its record is in the database " + db +
                               ", not in /dev/full"))
        << r.err;
    EXPECT_TRUE(has(r.err, "1 record could not be written to /dev/full; here as written:"))
        << r.err;
    EXPECT_EQ(shown(0).substr(0, 8), "f4010000");
    EXPECT_EQ(sql("SELECT value, state FROM serials"), "500 used\n");
    std::string image = sim_slurp(ZMK_IMAGE_FILE);
    const std::string crc = hex8(crc32_of(image));
    image.replace(0x100, 4, std::string("\xf4\x01\x00\x00", 4));
    EXPECT_EQ(sql("SELECT result, image_crc32, image_written_crc32 FROM records"),
              "ok " + crc + " " + hex8(crc32_of(image)) + "\n");
}

// A port another program holds keeps the one number reserved for it across
// the station's retries; once let go and programmed, the ledger holds that
// number used and nothing else.
TEST_F(ledger, APortHeldAWhileBurnsNoNumbers)
{
    ASSERT_TRUE(sims.start({"--baud", "0", "--erase-ms", "20", "--link", dir + "/dut1", "--expect",
                            ZMK_IMAGE_FILE, "--expect-skip", "0x100:8", "--show", "0x100:8"}));
    const pid_t holder = sim_spawn({"cat", sims.sims[0].pty}, "/dev/null", "/dev/null");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    station st;
    ASSERT_TRUE(st.start(
        dir, cli({"--new-pool", "--station", "--match", dir + "/dut*", "--serial-start", "700"})));
    std::this_thread::sleep_for(std::chrono::milliseconds(3500)); // several retries
    kill(holder, SIGTERM);
    EXPECT_TRUE(sims.report(0, 10000).value("ok", false)) << sim_slurp(st.out);
    EXPECT_TRUE(st.says("PASS " + dir + "/dut1", 5000)) << sim_slurp(st.out);
    kill(st.pid, SIGINT);
    EXPECT_EQ(wait_exit(st.pid, 10000), 0);
    st.pid = -1;
    EXPECT_EQ(sql("SELECT value, state FROM serials"), "700 used\n");
    EXPECT_EQ(sql("SELECT value, event FROM serial_events ORDER BY id"),
              "700 reserved\n700 used\n");
    EXPECT_EQ(serial_of(read_records(log), dir + "/dut1").value("value", 0), 700);
}

// A ledger and its pools are made on purpose only: a missing file, a
// mistyped pool, a pool made twice, one overlapping another or one given
// another place are refused with no device touched; a pool named alone
// brings its own place, format and numbers, which every record carries.
TEST_F(ledger, NoLedgerOrPoolComesIntoBeingByAccident)
{
    ASSERT_TRUE(device());
    const std::string port = sims.ptys()[0];
    run_result r = run_program(cli({"--serial-start", "300", port}), dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(has(r.err, "there is no database " + db + ": give --new-pool")) << r.err;
    EXPECT_FALSE(std::filesystem::exists(db));

    r = run_program(cli({"--new-pool", "--serial-start", "300", "--serial-end", "399"}), dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.err, "zmk-cli: new database " + db + "\n")) << r.err;
    EXPECT_TRUE(has(r.err, "zmk-cli: numbers: pool default in " + db +
                               ", u32le at 0x100, next 300, 100 left\n"))
        << r.err;
    const struct {
        std::vector<std::string> args;
        const char *says;
    } refused[] = {
        {{"--new-pool", "--serial-at", "0x100", "--serial-start", "300"}, "is there already"},
        {{"--serial-pool", "Default", port},
         "no pool \"Default\"; the pools here: default; give "
         "--new-pool"},
        {{"--new-pool", "--serial-pool", "more", "--serial-at", "0x100", "--serial-start", "350"},
         "--allow-overlap"},
        {{"--serial-at", "0x104", "--serial-pool", "default", port},
         "writes its numbers as u32le at 0x100, not u32le at 0x104"},
        {{"--serial-format", "u32be", port}, "u32le at 0x100, not u32be at 0x100"},
    };
    for (const auto &c : refused) {
        std::vector<std::string> args{ZMK_CLI, "--db", db};
        args.insert(args.end(), c.args.begin(), c.args.end());
        r = run_program(args, dir);
        EXPECT_EQ(r.status, 2) << c.says;
        EXPECT_TRUE(has(r.err, c.says)) << r.err;
    }
    r = run_program({ZMK_CLI, "--db", db, "--log", log, "--serial-pool", "default", port}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(shown(0).substr(0, 8), "2c010000");
    const json serial = serial_of(read_records(log), port);
    EXPECT_EQ(serial.value("at", 0), 256);
    EXPECT_EQ(serial.value("format", ""), "u32le");
    EXPECT_EQ(sql("SELECT value, at, format FROM serials"), "300 256 u32le\n");
}
