// Ports other programs hold, and zmk-cli's advice for a port this user may
// not open: child processes on real pseudo-terminals.
#include "app/run/advice.h"
#include "platform/port_error.h"
#include "platform/serial.h"
#include "platform/syserror.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

struct pty_pair {
    int master = -1, slave = -1;
    char name[128] = "";
    pty_pair() { EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0); }
    ~pty_pair() { close(master), close(slave); }
};

bool opens(const char *name)
{
    port_handle h = port_open(name);
    port_close(h);
    return h != nullptr;
}

// Runs `job` in a child and returns what it wrote to the pipe it was given.
template <class F> std::string in_child(F job)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        job(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char chunk[256];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;)
        out.append(chunk, size_t(n));
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return out;
}

void say(int fd, const std::string &s) { (void)!write(fd, s.data(), s.size()); }

TEST(Holders, ProgramOnTheLineIsNamedAndKeepsThePortClosed)
{
    pty_pair p;
    char info[64], text[512] = "";
    std::snprintf(info, sizeof info, "/proc/self/fdinfo/%d", p.master);
    if (FILE *f = std::fopen(info, "r"))
        text[std::fread(text, 1, sizeof text - 1, f)] = 0, std::fclose(f);
    const pid_t child = fork();
    if (child == 0) {
        dup2(p.slave, 0);
        close(p.master);
        // The master of another pty is no excuse (where the kernel says whose).
        if (std::strstr(text, "tty-index"))
            (void)posix_openpt(O_RDWR | O_NOCTTY);
        execlp("sleep", "sleep", "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    char found[256] = "";
    int n = 0;
    for (int i = 0; i < 300 && !std::strstr(found, "(sleep)"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        n = port_holders(p.name, found, sizeof found);
    }
    EXPECT_EQ(n, 1);
    EXPECT_EQ(std::string(found), "pid " + std::to_string(child) + " (sleep)");
    EXPECT_FALSE(port_open(p.name));
    EXPECT_EQ(port_error_classify(platform_last_error()), PORT_ERR_IN_USE);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(port_holders(p.name, found, sizeof found), 0) << found;
    EXPECT_TRUE(opens(p.name));
    EXPECT_EQ(port_holders("/dev/zmk-no-such-port", found, sizeof found), -1);
}

// Like the simulator: the master and a hold on the slave in one process.
TEST(Holders, DeviceOnTheOtherEndIsNoHolder)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    if (child == 0) {
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        const char *name = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0
                               ? ptsname(master)
                               : nullptr;
        if (name && open(name, O_RDWR | O_NOCTTY) >= 0)
            say(fds[1], name);
        close(fds[1]);
        pause();
        _exit(0);
    }
    close(fds[1]);
    char name[128] = "";
    name[std::max<ssize_t>(read(fds[0], name, sizeof name - 1), 0)] = 0;
    close(fds[0]);
    char found[256] = "";
    EXPECT_EQ(port_holders(name, found, sizeof found), 0) << name << ": " << found;
    EXPECT_TRUE(opens(name)) << name;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

TEST(Permission, AdviceFollowsOwnerGroupAndMode)
{
    const group *g = getgrnam("dialout");
    if (geteuid() != 0 || !g)
        GTEST_SKIP() << "needs root (to drop to nobody) and a dialout group";
    const gid_t dialout = g->gr_gid;
    pty_pair p;
    auto as_nobody = [&] {
        return in_child([&](int out) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                return say(out, "still root");
            if (opens(p.name) || port_error_classify(platform_last_error()) != PORT_ERR_PERMISSION)
                return say(out, "not refused for permission");
            char advice[512];
            cli_open_advice(PORT_ERR_PERMISSION, p.name, advice, sizeof advice);
            say(out, advice);
        });
    };
    ASSERT_EQ(chown(p.name, 0, 0) | chmod(p.name, 0600), 0);
    EXPECT_EQ(as_nobody(), std::string(p.name) +
                               " belongs to root:root with mode 0600: only root can open it; ask "
                               "an administrator to change that (a udev rule) or run as root");
    ASSERT_EQ(chown(p.name, 0, dialout) | chmod(p.name, 0660), 0);
    EXPECT_EQ(as_nobody(), std::string(p.name) + " is open to the dialout group: run 'sudo "
                                                 "usermod -aG dialout $USER' and log in again");
}

// A node gone between the refusal and the look at it.
TEST(Permission, NodeThatCannotBeExaminedIsSaidSo)
{
    char advice[512];
    cli_open_advice(PORT_ERR_PERMISSION, "/dev/zmk-no-such-port", advice, sizeof advice);
    EXPECT_STREQ(advice, "/dev/zmk-no-such-port cannot be examined (No such file or directory): "
                         "ask an administrator for access");
}

} // namespace
