// Test helpers (Linux): zmk-devsim on a pseudo-terminal, running a program
// for its output and exit status, the simulator's report.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

inline std::string sim_slurp(const std::string &path)
{
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

inline std::string sim_tempdir()
{
    char tmpl[] = "/tmp/zmk-test-XXXXXX";
    return mkdtemp(tmpl) ? tmpl : "/tmp";
}

// In a forked child: becomes args[0] (looked up in PATH), or ends with 127.
[[noreturn]] inline void sim_exec(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Starts args[0] with stdout and stderr in files; returns its pid.
inline pid_t sim_spawn(const std::vector<std::string> &args, const std::string &out,
                       const std::string &err)
{
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        sim_exec(args);
    }
    return pid;
}

struct sim_proc {
    pid_t pid = -1;
    std::string pty, report;
};

// The simulator prints its pty as the first line.
inline bool sim_start(sim_proc *t, const std::string &dir, std::vector<std::string> args)
{
    t->report = dir + "/report.json";
    t->pty.clear();
    unlink((dir + "/sim.out").c_str());
    args.insert(args.begin(), {ZMK_DEVSIM, "--quiet", "--report", t->report});
    t->pid = sim_spawn(args, dir + "/sim.out", dir + "/sim.err");
    for (int i = 0; i < 200 && t->pty.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::string out = sim_slurp(dir + "/sim.out");
        if (out.find('\n') != std::string::npos)
            t->pty = out.substr(0, out.find('\n'));
    }
    return !t->pty.empty();
}

// Gives the simulator `wait_ms` to end by itself, then stops it; returns the
// report.
inline std::string sim_finish(sim_proc *t, int wait_ms = 2000)
{
    for (int waited = 0; t->pid > 0 && waited < wait_ms; waited += 20) {
        if (waitpid(t->pid, nullptr, WNOHANG) == t->pid)
            t->pid = -1;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (t->pid > 0) {
        kill(t->pid, SIGTERM);
        waitpid(t->pid, nullptr, 0);
        t->pid = -1;
    }
    return sim_slurp(t->report);
}

inline bool has(const std::string &s, const std::string &part) { return s.find(part) != s.npos; }

// The value text after "key": in the report.
inline std::string json_value(const std::string &json, const char *key)
{
    size_t at = json.find(std::string("\"") + key + "\":");
    if (at == std::string::npos)
        return "";
    at = json.find_first_not_of(' ', json.find(':', at) + 1);
    return json.substr(at, json.find_first_of(",}\n", at) - at);
}

// The number after "key": in the report, -1 when there is none.
inline long json_number(const std::string &json, const char *key)
{
    std::string v = json_value(json, key);
    return v.empty() || v == "null" ? -1 : std::atol(v.c_str());
}

// User plus system time in a resource-usage record, in seconds.
inline double sim_cpu_seconds(const rusage &ru)
{
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct run_result {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

inline run_result run_program(const std::vector<std::string> &args, const std::string &dir)
{
    run_result r;
    int status = 0;
    waitpid(sim_spawn(args, dir + "/out.txt", dir + "/err.txt"), &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = sim_slurp(dir + "/out.txt");
    r.err = sim_slurp(dir + "/err.txt");
    return r;
}
