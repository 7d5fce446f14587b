// The adapter's latency timer on a real pseudo-terminal, under a fake sysfs
// tree named by ZMK_SYSFS_ROOT: opening the port lowers it where it may.
#include "platform/latency.h"
#include "platform/serial.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

namespace {

std::string slurp(const std::string &path)
{
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

struct fake_adapter {
    int master = -1;
    std::string pty, root, timer;

    fake_adapter()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        pty = ptsname(master);
        char tmpl[] = "/tmp/zmk-sysfs-XXXXXX";
        root = mkdtemp(tmpl);
        const std::string device =
            root + "/class/tty/" + pty.substr(pty.rfind('/') + 1) + "/device";
        std::filesystem::create_directories(device);
        timer = device + "/latency_timer";
        setenv("ZMK_SYSFS_ROOT", root.c_str(), 1);
    }
    ~fake_adapter()
    {
        unsetenv("ZMK_SYSFS_ROOT");
        std::filesystem::remove_all(root);
        close(master);
    }
    // The timer as the driver shows it; 0444 is refused even to root.
    void set(const char *text, mode_t mode)
    {
        chmod(timer.c_str(), 0644);
        std::ofstream(timer) << text;
        chmod(timer.c_str(), mode);
        utimbuf old{1000, 1000};
        utime(timer.c_str(), &old);
    }
    time_t written() const
    {
        struct stat st {};
        stat(timer.c_str(), &st);
        return st.st_mtime;
    }
    port_latency open_and_read() const
    {
        port_handle p = port_open(pty.c_str());
        EXPECT_NE(p, nullptr);
        port_close(p);
        port_latency l;
        port_latency_read(pty.c_str(), &l);
        return l;
    }
};

} // namespace

TEST(Latency, OpeningAPortLowersItsAdaptersTimerWhereItMay)
{
    fake_adapter a;
    ASSERT_FALSE(a.pty.empty());

    a.set("1\n", 0644);
    port_latency l = a.open_and_read();
    EXPECT_EQ(l.ms, 1);
    EXPECT_EQ(a.written(), 1000) << "already 1: nothing written";
    EXPECT_EQ(std::string(l.path), a.timer);

    a.set("16\n", 0644);
    l = a.open_and_read();
    EXPECT_EQ(l.ms, 1);
    EXPECT_EQ(slurp(a.timer), "1\n");

    a.set("16\n", 0444);
    l = a.open_and_read();
    EXPECT_EQ(l.ms, 16) << "a timer nobody may write stays";
    EXPECT_FALSE(l.settable);
    EXPECT_EQ(slurp(a.timer), "16\n");
    EXPECT_EQ(a.written(), 1000);
}

TEST(Latency, APortWithoutTheAttributeHasNoTimer)
{
    fake_adapter a;
    ASSERT_FALSE(a.pty.empty());
    port_latency l;
    EXPECT_FALSE(port_latency_read(a.pty.c_str(), &l)) << "no latency_timer laid out";
    EXPECT_EQ(l.ms, -1);
    a.set("garbage\n", 0644);
    EXPECT_FALSE(port_latency_read(a.pty.c_str(), &l));
    EXPECT_FALSE(port_latency_read("/dev/zmk-no-such-port", &l));
    EXPECT_FALSE(port_latency_lower("/dev/zmk-no-such-port", &l));
}
