// Runs of zmk-devsim (Linux) for the tests: the
// simulator as a child on its pseudo-terminal, and the flasher's stack on
// that pty through the POSIX port backend.
#pragma once

#include "tests/support/host_stack.h"
#include "layers/ser.h"

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

inline std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<uint8_t> image()
{
    std::string s = slurp(ZMK_IMAGE_FILE);
    return {s.begin(), s.end()};
}

struct sim {
    pid_t pid = -1;
    std::string tty, report;

    explicit sim(std::vector<std::string> args)
    {
        char dir[] = "/tmp/zmk-devsim-XXXXXX";
        report = std::string(mkdtemp(dir)) + "/report.json";
        args.insert(args.begin(), {ZMK_DEVSIM, "--quiet", "--report", report});
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            std::vector<char *> argv;
            for (auto &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        for (char c; read(fds[0], &c, 1) == 1 && c != '\n';)
            tty += c;
        close(fds[0]);
    }
    ~sim()
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
    }
    // Exit status once it has ended by itself, or -1 after `ms`.
    int wait(int ms = 3000)
    {
        for (int status = 0, waited = 0; waited < ms; waited += 10, usleep(10'000))
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        return -1;
    }
    // The report's value for `key`, as text.
    std::string field(const char *key) const
    {
        std::string j = slurp(report), k = std::string("\"") + key + "\": ";
        size_t at = j.find(k);
        if (at == std::string::npos)
            return "";
        at += k.size();
        std::string v = j.substr(at, j.find('\n', at) - at);
        if (!v.empty() && v.back() == ',')
            v.pop_back();
        return v;
    }
};

struct pty_host {
    layer_t *link = layer_new();
    host_stack host{link};
    port_handle port = nullptr;

    ~pty_host()
    {
        if (port)
            port_close(port);
        layer_free(link);
    }
    // (Re)opens the port the way the flasher does.
    bool open(const std::string &tty)
    {
        if (port)
            port_close(port);
        port = port_open(tty.c_str());
        if (port) {
            ser_configure(port, 115200, 120000);
            ser_attach(link, port);
        }
        return port != nullptr;
    }
};
