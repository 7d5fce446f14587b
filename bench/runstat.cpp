// zmk_runstat OUT CMD [ARGS...]: runs CMD and appends one line to OUT with
// what it cost: wall time, user and system CPU, peak resident memory and the
// exit status. wait4 counts the child and every descendant it waited for.
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

double ms(const timeval &tv) { return double(tv.tv_sec) * 1e3 + double(tv.tv_usec) / 1e3; }

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: zmk_runstat OUT CMD [ARGS...]\n");
        return 2;
    }
    double start = now_ms();
    pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        std::perror(argv[2]);
        _exit(127);
    }
    int status = 0;
    rusage ru{};
    if (pid < 0 || wait4(pid, &status, 0, &ru) != pid)
        return 2;
    double wall = now_ms() - start;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    FILE *out = std::fopen(argv[1], "a");
    if (!out)
        return 2;
    std::fprintf(out, "wall_ms=%.1f user_ms=%.1f sys_ms=%.1f maxrss_kb=%ld status=%d\n", wall,
                 ms(ru.ru_utime), ms(ru.ru_stime), ru.ru_maxrss, code);
    std::fclose(out);
    return code;
}
