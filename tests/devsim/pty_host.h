// Test and benchmark helpers (Linux): run zmk-devsim as a child on its
// pseudo-terminal, and the flasher's stack on the POSIX port backend.
#pragma once

#include "framework/bytes.h"
#include "framework/mlb.h"
#include "framework/plm.h"
#include "layers/lpkt.h"
#include "layers/lprog.h"
#include "layers/ser.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>


using clock_type = std::chrono::steady_clock;

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
            close(fds[0]);
            close(fds[1]);
            std::vector<char *> argv;
            for (auto &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n')
            tty += c;
        close(fds[0]);
    }
    ~sim()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // Exit status once it has ended by itself (or -1 after `ms`).
    int wait(int ms = 3000)
    {
        int status = 0;
        for (int waited = 0; waited < ms; waited += 10) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(10'000);
        }
        return -1;
    }
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

// The flasher's stack on a real port.
struct host {
    port_handle port = nullptr;
    plm_t *stack = plm_new();
    layer_t *prog = lprog_new(), *pkt = lpkt_new(), *link = layer_new();
    mlb_t *buf = mlb_new(10000);

    host()
    {
        lprog_init(prog);
        lpkt_init(pkt);
        lprog_set_hook(prog, [](void *, const lprog_progress *, const char *) {}, nullptr);
        plm_insert(stack, prog, PLM_TOP, nullptr);
        plm_insert(stack, pkt, PLM_BELOW, prog);
        plm_insert(stack, link, PLM_BELOW, pkt);
        lpkt_set_peer_tag(pkt, 0);
    }
    ~host()
    {
        if (port)
            port_close(port);
        plm_free(stack);
        lprog_free(prog);
        lpkt_free(pkt);
        layer_free(link);
        mlb_free(buf);
    }
    bool open(const std::string &tty)
    {
        if (port)
            port_close(port);
        port = port_open(tty.c_str());
        if (!port)
            return false;
        ser_configure(port, 115200, 120000);
        ser_attach(link, port);
        return true;
    }
    // Steps until done or `limit` steps; true when RESET was acknowledged.
    bool run(int limit)
    {
        for (int i = 0; i < limit && !lprog_done(prog); ++i) {
            mlb_reset(buf, 0, 12);
            plm_tx(stack, buf);
            plm_rx(stack, buf);
        }
        return lprog_done(prog);
    }
};
