// The port watch and port_identify on Linux, with pseudo-terminals behind
// symlinks in a temporary directory (no udev event ever announces those).
#include "tests/ports/poll_across.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <string>
#include <unistd.h>

namespace {

struct pty {
    int master = -1, slave = -1;
    char name[64] = "";
    pty() { EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0); }
    ~pty()
    {
        close(master);
        close(slave);
    }
};

class PortWatchTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char name[] = "/tmp/zmk-watch-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string dir;
    port_info out[PORTS_MAX];
};

TEST_F(PortWatchTest, GlobSeesPtysBehindSymlinksComeAndGoEachOnceInPathOrder)
{
    pty a, b;
    std::ofstream(dir + "/dut-file") << "not a port";
    std::filesystem::create_symlink(dir + "/dut-file", dir + "/dut-tofile");
    std::filesystem::create_symlink(dir + "/missing", dir + "/dut-dangling");
    const std::string glob = dir + "/dut*", link = dir + "/dut2";
    // The symlink matches two patterns; the pty sorts before the temp dir.
    const char *patterns[] = {glob.c_str(), link.c_str(), b.name};
    port_watch *w = port_watch_new(patterns, 3);
    ASSERT_NE(w, nullptr);

    ASSERT_EQ(port_watch_poll(w, 0, out, PORTS_MAX), 1);
    EXPECT_STREQ(out[0].path, b.name);

    change_seen seen = poll_across(
        w, [&] { std::filesystem::create_symlink(a.name, link); }, out);
    ASSERT_EQ(seen.count, 2);
    EXPECT_LT(seen.late_ms, 500u);
    EXPECT_STREQ(out[0].path, b.name);
    EXPECT_STREQ(out[1].path, link.c_str());
    EXPECT_FALSE(out[1].usb);

    // Nothing changes: the poll waits its whole time-out and reports the same.
    const uint32_t start = platform_tick_ms();
    EXPECT_EQ(port_watch_poll(w, 300, out, PORTS_MAX), 2);
    EXPECT_GE(platform_tick_ms() - start, 290u);

    seen = poll_across(
        w, [&] { std::filesystem::remove(link); }, out);
    ASSERT_EQ(seen.count, 1);
    EXPECT_LT(seen.late_ms, 500u);
    EXPECT_STREQ(out[0].path, b.name);
    port_watch_free(w);
}

TEST_F(PortWatchTest, UsbWatchesReportOnlyUsbPortsAndNeverBlock)
{
    pty a; // present, but on no USB device
    const char *ftdi[] = {"usb:0403:6001"};
    for (port_watch *w : {port_watch_new(ftdi, 1), port_watch_new(nullptr, 0)}) {
        ASSERT_NE(w, nullptr);
        const uint32_t start = platform_tick_ms();
        const int n = port_watch_poll(w, 0, out, PORTS_MAX);
        EXPECT_EQ(port_watch_poll(w, 300, out, PORTS_MAX), n);
        EXPECT_LT(platform_tick_ms() - start, 1000u);
        for (int i = 0; i < n; ++i) {
            EXPECT_TRUE(out[i].usb) << out[i].path;
            EXPECT_STRNE(out[i].path, a.name);
        }
        port_watch_free(w);
    }
    for (const char *bad : {"usb:0403", "usb:0403:60x1", "usb:0403:60011", "usb:403:6001"})
        EXPECT_EQ(port_watch_new(&bad, 1), nullptr) << bad;
}

TEST_F(PortWatchTest, IdentifyFollowsSymlinksButKeepsThePathAndRefusesNonPorts)
{
    pty a;
    const std::string link = dir + "/by-id-link";
    std::filesystem::create_symlink(a.name, link);
    ASSERT_EQ(port_identify(link.c_str(), out), 0);
    EXPECT_STREQ(out->path, link.c_str());
    EXPECT_FALSE(out->usb);

    std::ofstream(dir + "/file") << "x";
    for (std::string path : {dir + "/file", dir + "/missing", std::string("/dev/ptmx"),
                             std::string("/dev/tty"), std::string("/dev/null")}) {
        EXPECT_EQ(port_identify(path.c_str(), out), -1) << path;
        EXPECT_STREQ(out->path, path.c_str());
    }
}

// The longest path the system takes (PATH_MAX less its NUL) is kept whole;
// one byte more, which a glob can still produce, is told rather than lost.
TEST_F(PortWatchTest, KeepsTheLongestPathWholeAndTellsOfLongerOnes)
{
    pty a;
    std::string deep = dir;
    while (deep.size() < 3900) {
        const size_t part = std::min<size_t>(200, 3899 - deep.size());
        deep.append(1, '/').append(part, 'd');
        ASSERT_TRUE(std::filesystem::create_directory(deep)) << deep.size();
    }
    // Made through the directory's descriptor: no path the system takes
    // names the longer link.
    struct in_dir {
        int fd;
        std::string fits, longer;
        ~in_dir()
        {
            unlinkat(fd, fits.c_str(), 0);
            unlinkat(fd, longer.c_str(), 0);
            close(fd);
        }
    } links{open(deep.c_str(), O_RDONLY | O_DIRECTORY), std::string(4094 - deep.size(), 'p'), ""};
    links.longer = links.fits + "p";
    ASSERT_EQ(symlinkat(a.name, links.fd, links.fits.c_str()), 0);
    ASSERT_EQ(symlinkat(a.name, links.fd, links.longer.c_str()), 0);
    const std::string glob = deep + "/p*";
    const char *patterns[] = {glob.c_str()};
    port_watch *w = port_watch_new(patterns, 1);
    ASSERT_NE(w, nullptr);

    ASSERT_EQ(port_watch_poll(w, 0, out, PORTS_MAX), 1);
    EXPECT_EQ(std::string(out[0].path), deep + "/" + links.fits);
    EXPECT_EQ(std::strlen(out[0].path), size_t(PORT_PATH_MAX - 1));
    const char *first = nullptr;
    EXPECT_EQ(port_watch_unkept(w, &first), 1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(std::string(first), deep + "/" + links.longer);
    port_watch_free(w);
}

} // namespace
