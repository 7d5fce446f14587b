// Test helpers (Linux): run zmk-devsim on a pseudo-terminal, run a program
// and collect its output and exit status, read the simulator's report.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

inline std::string sim_slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string sim_tempdir()
{
    char tmpl[] = "/tmp/zmk-test-XXXXXX";
    const char *d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}

struct sim_proc {
    pid_t pid = -1;
    std::string pty;
    std::string report;
};

// Starts the simulator with `args`; its first line on stdout is the pty.
inline bool sim_start(sim_proc *t, const std::string &dir, std::vector<std::string> args)
{
    t->report = dir + "/report.json";
    args.insert(args.begin(), {ZMK_DEVSIM, "--quiet", "--report", t->report});
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    t->pid = fork();
    if (t->pid == 0) {
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
        t->pty += c;
    // Keep the pipe open in a detached reader so the simulator never blocks
    // on a full stdout.
    std::thread([fd = fds[0]] {
        char buf[256];
        while (read(fd, buf, sizeof buf) > 0) {
        }
        close(fd);
    }).detach();
    return t->pid > 0 && !t->pty.empty();
}

// Gives the simulator `wait_ms` to finish on its own, then ends it; returns
// its report.
inline std::string sim_finish(sim_proc *t, int wait_ms = 2000)
{
    if (t->pid <= 0)
        return "";
    int status = 0;
    for (int waited = 0; waited < wait_ms; waited += 20) {
        if (waitpid(t->pid, &status, WNOHANG) == t->pid) {
            t->pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (t->pid > 0) {
        kill(t->pid, SIGTERM);
        waitpid(t->pid, &status, 0);
        t->pid = -1;
    }
    return sim_slurp(t->report);
}

// The value text after "key": in a flat JSON object.
inline std::string json_value(const std::string &json, const char *key)
{
    std::string k = std::string("\"") + key + "\"";
    size_t at = json.find(k);
    if (at == std::string::npos)
        return "";
    at = json.find(':', at + k.size());
    if (at == std::string::npos)
        return "";
    at = json.find_first_not_of(" \t\n", at + 1);
    size_t end = json.find_first_of(",}\n", at);
    return json.substr(at, end - at);
}

struct run_result {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs args[0] (searched in PATH) with stdout and stderr into files.
inline run_result run_program(const std::vector<std::string> &args, const std::string &dir)
{
    run_result r;
    std::string out = dir + "/out.txt", err = dir + "/err.txt";
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = sim_slurp(out);
    r.err = sim_slurp(err);
    return r;
}
