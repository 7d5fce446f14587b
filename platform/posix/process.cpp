#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

struct proc {
    pid_t pid;
    int out; // read end of the child's output
};

proc *proc_spawn(const char *const *argv)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return nullptr;
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return nullptr;
    }
    if (pid == 0) {
        // Ignored signals stay ignored across exec: Ctrl-C reaches the parent only.
        signal(SIGINT, SIG_IGN);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        execv(argv[0], const_cast<char *const *>(argv));
        _exit(127);
    }
    close(fds[1]);
    return new proc{pid, fds[0]};
}

int proc_read(proc *p, char *buf, int n)
{
    for (;;) {
        const ssize_t r = read(p->out, buf, size_t(n));
        if (r >= 0 || errno != EINTR)
            return int(r);
    }
}

void proc_kill(proc *p) { kill(p->pid, SIGKILL); }

long long proc_self_id() { return getpid(); }

bool proc_alive(long long pid)
{
    // EPERM: it runs, under another user.
    return pid > 0 && pid == pid_t(pid) && (kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

int proc_wait(proc *p)
{
    int status = 0;
    while (waitpid(p->pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void proc_free(proc *p)
{
    if (!p)
        return;
    close(p->out);
    delete p;
}

bool proc_self_path(char *dest, size_t size)
{
    const ssize_t n = readlink("/proc/self/exe", dest, size - 1);
    if (n <= 0)
        return false;
    dest[n] = 0;
    return true;
}

void proc_stop(proc *p) { kill(p->pid, SIGTERM); }

namespace {
volatile std::sig_atomic_t interrupts, stop_status;
void on_interrupt(int sig)
{
    interrupts = sig == SIGINT ? interrupts + 1 : interrupts + 2;
    stop_status = 128 + sig;
}
} // namespace

void proc_catch_interrupts(bool ctrl_c)
{
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    if (ctrl_c)
        sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // A full file system or a size limit is a failed write to report, not
    // a reason to die.
    std::signal(SIGXFSZ, SIG_IGN);
}

int proc_interrupts() { return int(interrupts); }

int proc_stop_status() { return int(stop_status); }
