// What the production-line tests share: a simulator per device, each in a
// folder of its own, the records of a --log file, the children of a process.
#pragma once

#include "tests/support/sim.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <dirent.h>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <string>
#include <vector>

using json = nlohmann::json;

// The devices of a batch: simulator i runs in dir/sim<i>.
struct device_sims {
    std::string dir = sim_tempdir();
    std::vector<sim_proc> sims;

    ~device_sims()
    {
        for (sim_proc &s : sims)
            sim_finish(&s, 0);
    }
    bool start(const std::vector<std::string> &args)
    {
        const std::string home = dir + "/sim" + std::to_string(sims.size());
        mkdir(home.c_str(), 0755);
        sims.emplace_back();
        return sim_start(&sims.back(), home, args);
    }
    std::vector<std::string> ptys() const
    {
        std::vector<std::string> out;
        for (const sim_proc &s : sims)
            out.push_back(s.pty);
        return out;
    }
    // Each simulator's report, once it has ended by itself (or been stopped
    // after `wait_ms`).
    json report(size_t i, int wait_ms = 3000)
    {
        return json::parse(sim_finish(&sims[i], wait_ms), nullptr, false);
    }
};

// Waits up to `ms` until `done`; whether it came.
inline bool wait_for(int ms, const std::function<bool()> &done)
{
    for (int waited = 0; waited <= ms; waited += 10) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Waits up to `ms` for `pid` to end; its status, or -1.
inline int wait_exit(pid_t pid, int ms)
{
    for (int status = 0, waited = 0; waited <= ms; waited += 20) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

// Every record of a --log file; the audit trail's lines go to `audits`.
// A line that is not one whole JSON object, or a file that does not end
// with a line end, fails the test.
inline std::vector<json> read_records(const std::string &path, std::vector<json> *audits = nullptr)
{
    const std::string text = sim_slurp(path);
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "a partial last line: " << text;
    std::vector<json> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        json j = json::parse(line, nullptr, false);
        if (j.is_object() && j.contains("audit")) {
            if (audits)
                audits->push_back(j);
        } else if (j.is_object()) {
            out.push_back(j);
        } else
            ADD_FAILURE() << "not one JSON object: " << line;
    }
    return out;
}

// The record of `port`, or null.
inline json record_of(const std::vector<json> &records, const std::string &port)
{
    for (const json &r : records)
        if (r.value("port", "") == port)
            return r;
    return nullptr;
}

// The processes whose parent is `parent`.
inline std::vector<pid_t> children_of(pid_t parent)
{
    std::vector<pid_t> out;
    DIR *proc = opendir("/proc");
    while (const dirent *e = proc ? readdir(proc) : nullptr) {
        const pid_t pid = std::atoi(e->d_name);
        std::string stat = pid > 0 ? sim_slurp("/proc/" + std::string(e->d_name) + "/stat") : "";
        const size_t close = stat.rfind(')');
        int ppid = 0;
        if (close != std::string::npos &&
            std::sscanf(stat.c_str() + close + 1, " %*c %d", &ppid) == 1 && ppid == parent)
            out.push_back(pid);
    }
    if (proc)
        closedir(proc);
    return out;
}

// Running, not a zombie.
inline bool alive(pid_t pid)
{
    const std::string stat = sim_slurp("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// A station in its own process, its output in files.
struct station {
    pid_t pid = -1;
    std::string out, err;
    ~station()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    bool start(const std::string &dir, std::vector<std::string> args)
    {
        out = dir + "/station.out";
        err = dir + "/station.err";
        pid = sim_spawn(args, out, err);
        return wait_for(5000, [&] { return has(sim_slurp(err), "waiting"); });
    }
    bool says(const std::string &text, int ms = 3000)
    {
        return wait_for(ms, [&] { return has(sim_slurp(out), text); });
    }
};

// Another program's write transaction on the file (the sqlite3 shell), held
// until released.
struct held_lock {
    FILE *shell = nullptr;
    explicit held_lock(const std::string &db)
    {
        shell = popen(("sqlite3 " + db + " >/dev/null 2>&1").c_str(), "w");
        if (shell) {
            std::fputs(".timeout 5000\nBEGIN EXCLUSIVE;\n", shell);
            std::fflush(shell);
        }
    }
    // Once it holds the file, a reader is refused at once.
    bool taken(const std::string &db, const std::string &dir) const
    {
        return shell && wait_for(5000, [&] {
                   return has(
                       run_program({"sqlite3", db, "SELECT count(*) FROM sqlite_master"}, dir).err,
                       "locked");
               });
    }
    void release()
    {
        if (shell)
            pclose(shell); // the shell ends at its input's end, its transaction undone
        shell = nullptr;
    }
    ~held_lock() { release(); }
};

// A request to a station's page (Python's standard library); the answer's
// body, "" when it failed. `token`: the page's token for a POST; `body`: what it sends.
inline std::string page_http(const std::string &dir, const std::string &method,
                             const std::string &url, const std::string &token = "",
                             const std::string &body = "")
{
    const std::string code = "import sys, urllib.request\n"
                             "d = sys.argv[4].encode() or None\n"
                             "q = urllib.request.Request(sys.argv[2], d, method=sys.argv[1])\n"
                             "if sys.argv[3]: q.add_header('X-Zmk-Token', sys.argv[3])\n"
                             "r = urllib.request.urlopen(q, timeout=10)\n"
                             "sys.stdout.write(r.read().decode())\n";
    return run_program({"/usr/bin/python3", "-c", code, method, url, token, body}, dir).out;
}

// The token the station's page gives a viewer on its own machine, which
// Stop and Resume need.
inline std::string page_token(const std::string &dir, const std::string &url)
{
    const std::string page = page_http(dir, "GET", url);
    const std::string mark = "name=\"zmk-token\" content=\"";
    const size_t at = page.find(mark);
    return at == std::string::npos
               ? ""
               : page.substr(at + mark.size(), page.find('"', at + mark.size()) - at - mark.size());
}

// The page's address a station printed on its standard error, "" before.
inline std::string page_url(const std::string &err_text)
{
    const size_t at = err_text.find("http://");
    return at == std::string::npos ? "" : err_text.substr(at, err_text.find('\n', at) - at);
}
