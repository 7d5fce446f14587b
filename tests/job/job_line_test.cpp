// zmk-cli with a job file against simulators: a sealed job programs its
// devices and every record says what made it; whatever is wrong with the
// job, its seal or its image is refused before any device is touched.
#include "app/job/digest.h"
#include "tests/station/line_support.h"

#include <filesystem>
#include <functional>
#include <set>

namespace {

struct Job : ::testing::Test {
    device_sims sims;
    const std::string &dir = sims.dir;
    const std::string job = dir + "/job.toml", log = dir + "/log.jsonl";
    const std::string image = sim_slurp(ZMK_IMAGE_FILE);

    void SetUp() override
    {
        if (access("/usr/bin/minisign", X_OK) != 0)
            GTEST_SKIP() << "minisign makes the seals";
        setenv("XDG_STATE_HOME", dir.c_str(), 1);
        // The machine's own folder of keys stays out of these tests.
        setenv("ZMK_JOB_KEYS_DIR", (dir + "/machine-keys").c_str(), 1);
        for (const char *k : {"k1", "k2"})
            ASSERT_EQ(sh({"minisign", "-G", "-W", "-p", path(k) + ".pub", "-s", path(k) + ".key"}),
                      0);
        std::ofstream(dir + "/fw.bin", std::ios::binary) << image;
        write_job("");
    }
    std::string path(const std::string &name) const { return dir + "/" + name; }
    int sh(const std::vector<std::string> &args) const { return run_program(args, dir).status; }
    void write_job(const std::string &more) const
    {
        std::ofstream(job) << "name = \"sensor-board\"\nversion = \"2.4.1\"\n"
                              "[image]\nfile = \"fw.bin\"\nsha256 = \""
                           << digest_sha256_hex(image.data(), image.size())
                           << "\"\n[serial]\nat = 0x100\nstart = 5000\npool = \"sensor\"\n"
                              "[station]\ndb = \"line.db\"\ntimeout = 10\n"
                              "hold_after_failures = 3\n[slots]\nbay-1 = \"usb-path:1-1.1\"\n"
                           << more;
    }
    int seal(const char *key) const
    {
        return sh({"minisign", "-S", "-s", path(key) + ".key", "-m", job, "-t", "line 3, Ann"});
    }
    std::string key_id(const char *key) const
    {
        const std::string pub = sim_slurp(path(key) + ".pub");
        const size_t at = pub.find("public key ") + 11;
        return pub.substr(at, pub.find('\n', at) - at);
    }
    bool device()
    {
        return sims.start({"--baud", "0", "--erase-ms", "20", "--expect", ZMK_IMAGE_FILE,
                           "--expect-skip", "0x100:4", "--show", "0x100:4"});
    }
    struct refusal {
        const char *what;
        std::function<void()> make;
        std::vector<std::string> args;
        std::string says;
    };
    // Each case made, then refused with status 2 saying why.
    void refuses(const std::vector<refusal> &cases) const
    {
        for (const refusal &c : cases) {
            c.make();
            const run_result r = cli(c.args);
            EXPECT_EQ(r.status, 2) << c.what << ": " << r.err;
            EXPECT_TRUE(has(r.err, c.says)) << c.what << ": " << r.err;
        }
    }
    run_result cli(std::vector<std::string> more) const
    {
        std::vector<std::string> args{ZMK_CLI, "--job", job, "--log", log};
        args.insert(args.end(), more.begin(), more.end());
        return run_program(args, dir);
    }
};

} // namespace

TEST_F(Job, SealedJobProgramsABatchAndEveryRecordSaysWhatMadeIt)
{
    ASSERT_EQ(seal("k1"), 0);
    ASSERT_TRUE(device());
    ASSERT_TRUE(device());
    const std::vector<std::string> p = sims.ptys();
    const run_result r = cli({"--job-key", path("k1.pub"), "--new-pool", p[0], p[1]});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(has(r.err, "not sealed")) << r.err;
    std::set<std::string> shown;
    for (size_t i = 0; i < 2; ++i) {
        const json report = sims.report(i);
        EXPECT_TRUE(report.value("flash_matches", false)) << "the rest is the job's image";
        shown.insert(report["shown"].at(0).value("hex", ""));
    }
    EXPECT_EQ(shown, (std::set<std::string>{"88130000", "89130000"})) << "5000 and 5001";

    const std::string job_sha = digest_sha256_hex(sim_slurp(job).data(), sim_slurp(job).size());
    const json made = {{"name", "sensor-board"},
                       {"version", "2.4.1"},
                       {"sha256", job_sha},
                       {"key_id", key_id("k1")}};
    std::vector<json> audits;
    const std::vector<json> records = read_records(log, &audits);
    ASSERT_EQ(audits.size(), 1u) << "the job loaded, in the audit trail first";
    EXPECT_EQ(audits[0].value("audit", ""), "job loaded");
    EXPECT_EQ(audits[0]["job"], made) << audits[0];
    ASSERT_EQ(records.size(), 2u);
    for (const json &rec : records) {
        EXPECT_EQ(rec["job"], made) << rec;
        EXPECT_EQ(rec["image"].value("sha256", ""), digest_sha256_hex(image.data(), image.size()));
        EXPECT_EQ(rec["serial"].value("pool", ""), "sensor");
    }
    // The database beside the job has the same.
    EXPECT_EQ(run_program({"sqlite3", path("line.db"),
                           "SELECT DISTINCT job_name, job_version, job_key_id, job_sha256 = '" +
                               job_sha + "' FROM records"},
                          dir + "/sim0")
                  .out,
              "sensor-board|2.4.1|" + key_id("k1") + "|1\n");
    EXPECT_EQ(run_program({"sqlite3", path("line.db"), "SELECT event, detail FROM audit"}, dir).out,
              "job loaded|sensor-board 2.4.1 sha256 " + job_sha + ", sealed by key " +
                  key_id("k1") + "\n");
}

// An unsealed job runs where no key is trusted, and says so once; its
// records have no key. A run without a job still names its image's hash.
TEST_F(Job, UnsealedJobSaysSoAndRunsWithoutAKey)
{
    ASSERT_TRUE(device());
    run_result r = cli({"--new-pool", sims.ptys()[0]});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string warning = "zmk-cli: the job " + job +
                                " is not sealed: anyone who can edit it can change what is "
                                "programmed\n";
    EXPECT_EQ(r.err.find(warning), r.err.rfind(warning)) << r.err;
    EXPECT_TRUE(has(r.err, warning)) << r.err;
    std::vector<json> records = read_records(log);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0]["job"]["key_id"].is_null()) << records[0];

    ASSERT_TRUE(device());
    r = run_program({ZMK_CLI, "--log", log, sims.ptys()[1]}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    records = read_records(log);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(records[1]["job"].is_null()) << records[1];
    EXPECT_EQ(records[1]["image"].value("sha256", "").size(), 64u) << "the built-in image's";
}

TEST_F(Job, WhateverIsWrongIsRefusedBeforeAnyDeviceIsTouched)
{
    ASSERT_TRUE(device());
    const std::string port = sims.ptys()[0], k1 = path("k1.pub");
    const std::string fw = sim_slurp(path("fw.bin"));
    refuses({
        {"one byte flipped",
         [&] {
             seal("k1");
             std::ofstream(job, std::ios::app) << "\n";
         },
         {"--job-key", k1, port},
         "does not match its seal " + job + ".minisig"},
        {"the image changed",
         [&] {
             write_job("");
             seal("k1");
             std::ofstream(path("fw.bin"), std::ios::binary) << fw << "x";
         },
         {"--job-key", k1, port},
         "but the job " + job + " names "},
        {"sealed by another key",
         [&] {
             std::ofstream(path("fw.bin"), std::ios::binary) << fw;
             seal("k2");
         },
         {"--job-key", k1, port},
         "is sealed by key " + key_id("k2") + ", which this station"},
        {"unsealed, a key given",
         [&] { std::filesystem::remove(job + ".minisig"); },
         {"--job-key", k1, port},
         job + ".minisig is missing"},
        {"unsealed, a key in the machine's folder",
         [&] {
             std::filesystem::create_directories(path("machine-keys"));
             std::filesystem::copy_file(k1, path("machine-keys/line.pub"));
         },
         {port},
         job + ".minisig is missing"},
    });
    EXPECT_EQ(sims.report(0, 0).value("exchanges", -1), 0);
}

TEST_F(Job, WhatTheJobSetsOrDoesNotKnowIsRefused)
{
    ASSERT_TRUE(device());
    const std::string port = sims.ptys()[0];
    refuses({
        {"a flag the job sets",
         [&] { std::filesystem::remove_all(path("machine-keys")); },
         {"--serial-start", "7", port},
         "--serial-start is the job's to set"},
        {"the image given", [] {}, {"--image", ZMK_IMAGE_FILE, port}, "--image is the job's"},
        {"an unknown key", [&] { write_job("[extra]\n"); }, {port}, job + ":16: unknown key extra"},
        {"a wrong type",
         [&] { write_job("bay-2 = 2\n"); },
         {port},
         job + ":16: slots.bay-2 must be a pattern"},
    });
    EXPECT_EQ(sims.report(0, 0).value("exchanges", -1), 0);
}

TEST_F(Job, CheckShowsTheJobAndItsSealAndTouchesNoDevice)
{
    ASSERT_EQ(seal("k1"), 0);
    run_result r = cli({"--job-key", path("k1.pub"), "--check"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string job_sha = digest_sha256_hex(sim_slurp(job).data(), sim_slurp(job).size());
    for (const std::string &line :
         {std::string("job: sensor-board 2.4.1\n"), "job file: " + job + "\n  sha256 " + job_sha,
          "image: " + path("fw.bin") + " (" + std::to_string(image.size()) + " bytes)\n  sha256 " +
              digest_sha256_hex(image.data(), image.size()) + ", as the job says",
          "sealed by: key " + key_id("k1") + "\n  trusted comment: line 3, Ann\n",
          std::string("serial numbers: pool sensor, the pool's format at 0x100, 5000 to "),
          "database: " + path("line.db") + "\n", std::string("slots: bay-1=usb-path:1-1.1\n"),
          std::string("hold_after_failures 3, rated_insertions 0")})
        EXPECT_TRUE(has(r.out, line)) << line << "\n-- in --\n" << r.out;
    EXPECT_FALSE(std::filesystem::exists(path("line.db"))) << "no database opened";

    // Without a key it is shown as not sealed; tampered with, refused.
    r = cli({"--check"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "sealed by: not sealed\n")) << r.out;
    std::ofstream(job, std::ios::app) << "# a comment\n";
    r = cli({"--job-key", path("k1.pub"), "--check"});
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(has(r.err, "does not match its seal")) << r.err;
}
