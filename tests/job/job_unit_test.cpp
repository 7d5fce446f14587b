// The job file's keys and where a mistake is; minisign's key and signature
// formats against malformed input and against what minisign makes; the keys
// a station trusts.
#include "app/job/job.h"
#include "app/job/seal.h"
#include "app/job/trust.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

const std::string sha(64, 'c');

const std::string full_job = "name = \"sensor-board\"\n"
                             "version = \"2.4.1\"\n"
                             "[image]\n"
                             "file = \"firmware-2.4.1.bin\"\n"
                             "sha256 = \"" +
                             std::string(64, 'C') +
                             "\"\n"
                             "[serial]\n"
                             "at = 0x1f0\n"
                             "format = \"u32le\"\n"
                             "start = 100000\n"
                             "pool = \"sensor\"\n"
                             "list = \"numbers.txt\"\n"
                             "[station]\n"
                             "db = \"line.db\"\n"
                             "match = [\"usb:0403:6001\", \"/dev/ttyUSB*\"]\n"
                             "timeout = 12.5\n"
                             "erase_timeout = 300\n"
                             "hold_after_failures = 3\n"
                             "rated_insertions = 10000\n"
                             "[slots]\n"
                             "bay-1 = \"usb-path:1-1.1\"\n";

std::string parse_error(const std::string &text)
{
    job j;
    std::string why;
    EXPECT_EQ(job_parse("/jobs/job.toml", text, &j, &why), LINE_REFUSED) << text;
    return why;
}

std::string base64(const std::string &bytes)
{
    std::string out(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char *>(bytes.data()),
                      bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    out.resize(out.size() - 1);
    return out;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

} // namespace

TEST(JobFile, EveryKeyStandsForItsOptionRelativeFilesBesideTheJob)
{
    job j;
    std::string why;
    ASSERT_EQ(job_parse("/jobs/job.toml", full_job, &j, &why), LINE_OK) << why;
    EXPECT_EQ(j.name, "sensor-board");
    EXPECT_EQ(j.version, "2.4.1");
    EXPECT_EQ(j.image, "/jobs/firmware-2.4.1.bin");
    EXPECT_EQ(j.image_sha256, sha) << "hashes compare in lower case";
    EXPECT_TRUE(j.serial_given);
    EXPECT_EQ(j.serial.at, "496");
    EXPECT_EQ(j.serial.format, "u32le");
    EXPECT_EQ(j.serial.start, "100000");
    EXPECT_EQ(j.serial.step, "");
    EXPECT_EQ(j.serial.pool, "sensor");
    EXPECT_EQ(j.serial.list, "/jobs/numbers.txt");
    EXPECT_EQ(j.db, "/jobs/line.db");
    EXPECT_EQ(j.match, (std::vector<std::string>{"usb:0403:6001", "/dev/ttyUSB*"}));
    EXPECT_EQ(j.timeout_s, 12.5);
    EXPECT_EQ(j.erase_timeout_s, 300);
    EXPECT_EQ(j.hold_after_failures, 3);
    EXPECT_EQ(j.rated_insertions, 10000);
    EXPECT_EQ(j.slots, (std::vector<std::string>{"bay-1=usb-path:1-1.1"}));
    EXPECT_EQ(j.sha256.size(), 64u);

    // A server stays a server; a job without [serial] or [station] keeps the defaults.
    const std::string minimal = "name = \"a\"\nversion = \"1\"\n[image]\nfile = \"/fw.bin\"\n"
                                "sha256 = \"" +
                                sha + "\"\n";
    ASSERT_EQ(job_parse("job.toml",
                        minimal + "[station]\ndb = \"postgresql://line@db/zmk\"\nmatch = []\n", &j,
                        &why),
              LINE_OK)
        << why;
    EXPECT_EQ(j.db, "postgresql://line@db/zmk");
    EXPECT_EQ(j.image, "/fw.bin");
    EXPECT_FALSE(j.serial_given);
    EXPECT_EQ(j.timeout_s, 30);
    EXPECT_EQ(j.hold_after_failures, 0);
}

TEST(JobFile, RefusedWithTheKeyAndItsLine)
{
    const std::string head = "name = \"a\"\nversion = \"1\"\n[image]\nfile = \"fw.bin\"\n"
                             "sha256 = \"" +
                             sha + "\"\n";
    const struct {
        std::string text, says;
    } cases[] = {
        {head + "[station]\nspeed = 3\n", "/jobs/job.toml:7: unknown key station.speed"},
        {"colour = \"red\"\n" + head, "/jobs/job.toml:1: unknown key colour"},
        {head + "[station]\ntimeout = \"30\"\n",
         ":7: station.timeout must be a number of seconds, 0 or more"},
        {head + "[station]\nmatch = \"usb:0403:6001\"\n", ":7: station.match must be a list"},
        {head + "[station]\nhold_after_failures = -2\n",
         ":7: station.hold_after_failures must be a whole number, 0 or more"},
        {head + "[serial]\nat = \"0x100\"\n", ":7: serial.at must be a whole number"},
        {"name = 3\nversion = \"1\"\n", ":1: name must be a string"},
        {"version = \"1\"\n[image]\nfile = \"fw.bin\"\nsha256 = \"" + sha + "\"\n",
         ":1: name is missing"},
        {"name = \"a\"\nversion = \"1\"\n\n[image]\nfile = \"fw.bin\"\n",
         ":4: image.sha256 is missing"},
        {"name = \"a\"\nversion = \"1\"\n[image]\nfile = \"fw.bin\"\nsha256 = \"abc\"\n",
         ":5: image.sha256 must be 64 hex digits"},
        {"name = \"\"\nversion = \"1\"\n[image]\nfile = \"fw.bin\"\nsha256 = \"" + sha + "\"\n",
         ":1: name is empty"},
        {head + "[slots]\nbay-1 = 1\n", ":7: slots.bay-1 must be a pattern"},
        {head + "[station\n", "/jobs/job.toml:6: "},
        {std::string("name = \"a\0b\"\n", 12), "/jobs/job.toml:1: "},
    };
    for (const auto &c : cases) {
        const std::string why = parse_error(c.text);
        EXPECT_NE(why.find(c.says), std::string::npos) << why << "\n-- for --\n" << c.text;
    }
}

TEST(Seal, MalformedKeysAndSignaturesAreRefusedWithWhatIsWrong)
{
    const std::string comment = "untrusted comment: x\n";
    const std::string id(8, '\x11'), pk(32, '\x22'), sig(64, '\x33');
    const std::string good_key = comment + base64("Ed" + id + pk) + "\n";
    seal_key key;
    std::string why;
    ASSERT_TRUE(seal_key_parse(good_key, &key, &why)) << why;
    EXPECT_EQ(seal_key_id(key.id), "1111111111111111");
    const struct {
        std::string text, says;
    } keys[] = {
        {"", "first line"},
        {comment, "no key line"},
        {comment + base64("Ed" + id + pk).substr(0, 39) + "\n", "not base64, or is cut short"},
        {comment + base64("Ed" + id + pk).substr(0, 40) + "\n", "holds 30 bytes, not 42"},
        {comment + base64("Ed" + id + pk.substr(1)) + "\n", "holds 41 bytes, not 42"},
        {comment + base64("EC" + id + pk) + "\n", "no Ed25519 public key"},
        {comment + "!!!!" + base64("Ed" + id + pk) + "\n", "not base64"},
    };
    for (const auto &c : keys) {
        EXPECT_FALSE(seal_key_parse(c.text, &key, &why)) << c.text;
        EXPECT_NE(why.find(c.says), std::string::npos) << why << " -- for -- " << c.text;
    }

    const std::string line2 = base64("ED" + id + sig), trusted = "trusted comment: sealed\n",
                      global = base64(sig) + "\n";
    seal_signature s;
    ASSERT_TRUE(seal_signature_parse(comment + line2 + "\n" + trusted + global, &s, &why)) << why;
    EXPECT_TRUE(s.prehashed);
    EXPECT_EQ(s.trusted_comment, "sealed");
    ASSERT_TRUE(seal_signature_parse(comment + base64("Ed" + id + sig) + "\r\n" + trusted + global,
                                     &s, &why))
        << why;
    EXPECT_FALSE(s.prehashed);
    const struct {
        std::string text, says;
    } sigs[] = {
        {comment + line2 + "\n" + trusted, "3 lines, not 4"},
        {comment + line2.substr(0, 50) + "\n" + trusted + global, "cut short"},
        {comment + base64("ED" + id + sig.substr(1)) + "\n" + trusted + global,
         "holds 73 bytes, not 74"},
        {comment + base64("Ex" + id + sig) + "\n" + trusted + global, "no Ed25519 signature"},
        {comment + line2 + "\nuntrusted comment: sealed\n" + global, "third line"},
        {comment + line2 + "\n" + trusted + base64(sig.substr(1)) + "\n", "63 bytes, not 64"},
    };
    for (const auto &c : sigs) {
        EXPECT_FALSE(seal_signature_parse(c.text, &s, &why)) << c.text;
        EXPECT_NE(why.find(c.says), std::string::npos) << why << " -- for -- " << c.text;
    }
}

namespace {

// A folder with two minisign keys (no password) and a job to seal.
struct Sealed : ::testing::Test {
    std::string dir;
    void SetUp() override
    {
        if (access("/usr/bin/minisign", X_OK) != 0)
            GTEST_SKIP() << "minisign makes the seals";
        dir = std::filesystem::temp_directory_path() / ("zmk-seal-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        for (const char *k : {"k1", "k2"})
            ASSERT_EQ(
                sh("minisign -G -W -p " + dir + "/" + k + ".pub -s " + dir + "/" + k + ".key"), 0);
        write(dir + "/job.toml", "name = \"a\"\n");
        setenv("ZMK_JOB_KEYS_DIR", (dir + "/none").c_str(), 1);
    }
    void TearDown() override
    {
        if (!dir.empty())
            std::filesystem::remove_all(dir);
    }
    static int sh(const std::string &cmd)
    {
        return std::system((cmd + " >/dev/null 2>&1").c_str());
    }
    int sign(const char *key, const std::string &more = "")
    {
        return sh("minisign -S -s " + dir + "/" + key + ".key -m " + dir + "/job.toml " + more);
    }
    seal_key key(const char *name)
    {
        seal_key k;
        std::string why;
        EXPECT_TRUE(seal_key_parse(slurp(dir + "/" + name + ".pub"), &k, &why)) << why;
        return k;
    }
    bool verify(const seal_key &k, const std::string &message, std::string *why)
    {
        seal_signature s;
        return seal_signature_parse(slurp(dir + "/job.toml.minisig"), &s, why) &&
               seal_verify(k, s, message, why);
    }
};

} // namespace

TEST_F(Sealed, MinisignsSignaturesOfBothKindsAndWhatBreaksThem)
{
    const seal_key k1 = key("k1"), k2 = key("k2");
    const std::string message = slurp(dir + "/job.toml");
    // The id as minisign writes it in the key's comment.
    EXPECT_NE(slurp(dir + "/k1.pub").find("public key " + seal_key_id(k1.id) + "\n"),
              std::string::npos);
    const uint8_t small[8] = {0x9b, 0x5e, 0x61, 0x2c, 0x6b, 0x18, 0x0d, 0x02};
    EXPECT_EQ(seal_key_id(small), "20D186B2C615E9B") << "no leading zero, as minisign";
    std::string why;
    for (const char *kind : {"", "-l"}) {
        ASSERT_EQ(sign("k1", std::string(kind) + " -t 'sealed by Ann'"), 0);
        EXPECT_TRUE(verify(k1, message, &why)) << kind << why;
        std::string changed = message;
        changed[0] ^= 1;
        EXPECT_FALSE(verify(k1, changed, &why));
        EXPECT_NE(why.find("changed after it was signed"), std::string::npos) << why;
        EXPECT_FALSE(verify(k2, message, &why));
        EXPECT_NE(why.find("signed by key " + seal_key_id(k1.id)), std::string::npos) << why;
    }
    // The trusted comment is signed too.
    std::string sig = slurp(dir + "/job.toml.minisig");
    sig.replace(sig.find("sealed by Ann"), 13, "sealed by Bob");
    write(dir + "/job.toml.minisig", sig);
    EXPECT_FALSE(verify(k1, message, &why));
    EXPECT_NE(why.find("trusted comment was changed"), std::string::npos) << why;
}

TEST_F(Sealed, TheStationTrustsItsFolderAndTheKeysGiven)
{
    job j;
    std::string why;
    j.path = dir + "/job.toml";
    j.text = slurp(j.path);
    job_trust t;
    // No key anywhere: the job runs unsealed.
    ASSERT_EQ(job_trust_load({}, &t, &why), LINE_OK) << why;
    EXPECT_EQ(job_trust_check(t, &j, &why), LINE_OK);
    EXPECT_FALSE(j.sealed);

    std::filesystem::create_directories(dir + "/keys");
    std::filesystem::copy_file(dir + "/k1.pub", dir + "/keys/line.pub");
    write(dir + "/keys/notes.txt", "not a key");
    setenv("ZMK_JOB_KEYS_DIR", (dir + "/keys").c_str(), 1);
    ASSERT_EQ(job_trust_load({}, &t, &why), LINE_OK) << why;
    ASSERT_EQ(t.keys.size(), 1u);
    EXPECT_EQ(job_trust_check(t, &j, &why), LINE_REFUSED);
    EXPECT_NE(why.find(j.path + ".minisig is missing"), std::string::npos) << why;

    ASSERT_EQ(sign("k2", "-t 'by Bob'"), 0);
    EXPECT_EQ(job_trust_check(t, &j, &why), LINE_REFUSED);
    EXPECT_NE(why.find("which this station does not trust"), std::string::npos) << why;
    ASSERT_EQ(job_trust_load({dir + "/k2.pub"}, &t, &why), LINE_OK) << why;
    EXPECT_EQ(job_trust_check(t, &j, &why), LINE_OK) << why;
    EXPECT_TRUE(j.sealed);
    EXPECT_EQ(j.key_id, seal_key_id(key("k2").id));
    EXPECT_EQ(j.trusted_comment, "by Bob");

    write(dir + "/keys/broken.pub", "untrusted comment: x\nRWQ=\n");
    EXPECT_EQ(job_trust_load({}, &t, &why), LINE_REFUSED);
    EXPECT_NE(why.find(dir + "/keys/broken.pub is no minisign public key"), std::string::npos)
        << why;
    EXPECT_EQ(job_trust_load({dir + "/missing.pub"}, &t, &why), LINE_REFUSED);
    EXPECT_NE(why.find("missing.pub cannot be read"), std::string::npos) << why;
}
