#include "tests/support/pg_cluster.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

struct pg_cluster {
    std::string bin;  // the newest server's programs
    std::string dir;  // data in dir/data, the socket and the logs in dir
    std::string user; // the server's user when run as root; "" as ourselves
    int port = 0;
    bool running = false;
};

namespace {

namespace fs = std::filesystem;

std::string pg_newest_bin()
{
    std::string best;
    int best_version = -1;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        const int version = std::atoi(e.path().filename().c_str());
        if (version > best_version && fs::exists(e.path() / "bin" / "initdb")) {
            best_version = version;
            best = (e.path() / "bin").string();
        }
    }
    return best;
}

int pg_free_port()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    int port = 0;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &size) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0)
        close(s);
    return port;
}

// Runs args (as the server's user when `as_owner`), its output appended to
// dir/log; its exit status, or -1 when it was still running after `limit_s`.
int pg_run(const pg_cluster *t, std::vector<std::string> args, int limit_s, bool as_owner)
{
    if (as_owner && !t->user.empty())
        args.insert(args.begin(), {"runuser", "-u", t->user, "--"});
    const pid_t pid = fork();
    if (pid == 0) {
        const int log = open((t->dir + "/log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(log, 1);
        dup2(log, 2);
        dup2(open("/dev/null", O_RDONLY), 0);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (chdir(t->dir.c_str()) == 0)
            execvp(argv[0], argv.data());
        _exit(127);
    }
    for (int ms = 0; pid > 0 && ms < limit_s * 1000; ms += 10) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return -1;
}

// The step that failed and the end of what the programs said.
bool pg_failed(const pg_cluster *t, const std::string &step, std::string *why)
{
    std::stringstream log;
    log << std::ifstream(t->dir + "/log").rdbuf() << std::ifstream(t->dir + "/server.log").rdbuf();
    const std::string text = log.str();
    *why = step + " failed in " + t->dir + ": " +
           text.substr(text.size() > 1500 ? text.size() - 1500 : 0);
    return false;
}

// Under root: a directory the server's user owns.
bool pg_make_dir(pg_cluster *t, std::string *why)
{
    char tmpl[] = "/tmp/zmk-pg-XXXXXX";
    if (!mkdtemp(tmpl)) {
        *why = "cannot make a temporary directory";
        return false;
    }
    t->dir = tmpl;
    if (geteuid() != 0)
        return true;
    const passwd *pw = getpwnam("nobody");
    if (!pw || chown(tmpl, pw->pw_uid, pw->pw_gid) != 0) {
        *why = "running as root, but cannot give " + t->dir + " to the user nobody";
        return false;
    }
    t->user = "nobody";
    return true;
}

} // namespace

pg_cluster *pg_cluster_new(std::string *why)
{
    pg_cluster *t = new pg_cluster;
    t->bin = pg_newest_bin();
    t->port = pg_free_port();
    if (t->bin.empty())
        *why = "no PostgreSQL server: no /usr/lib/postgresql/*/bin/initdb (install postgresql)";
    else if (pg_make_dir(t, why) &&
             (pg_run(t,
                     {t->bin + "/initdb", "-D", t->dir + "/data", "-U", "zmk", "-A", "trust", "-E",
                      "UTF8", "--no-locale", "--no-sync"},
                     120, true) == 0 ||
              pg_failed(t, "initdb", why)) &&
             pg_cluster_start(t, why) && !pg_cluster_create_db(t, "zmk", why).empty())
        return t;
    pg_cluster_free(t);
    return nullptr;
}

void pg_cluster_free(pg_cluster *t)
{
    if (!t)
        return;
    if (t->running)
        pg_run(t,
               {t->bin + "/pg_ctl", "-D", t->dir + "/data", "-m", "immediate", "-w", "-t", "30",
                "stop"},
               40, true);
    std::error_code ec;
    if (!t->dir.empty())
        fs::remove_all(t->dir, ec);
    delete t;
}

std::string pg_cluster_uri(const pg_cluster *t)
{
    return "postgresql://zmk@127.0.0.1:" + std::to_string(t->port) + "/zmk";
}

std::string pg_cluster_create_db(pg_cluster *t, const std::string &name, std::string *why)
{
    if (pg_run(t,
               {t->bin + "/createdb", "-h", "127.0.0.1", "-p", std::to_string(t->port), "-U", "zmk",
                name},
               60, false) != 0) {
        pg_failed(t, "createdb " + name, why);
        return "";
    }
    return "postgresql://zmk@127.0.0.1:" + std::to_string(t->port) + "/" + name;
}

bool pg_cluster_stop(pg_cluster *t, std::string *why)
{
    if (pg_run(t,
               {t->bin + "/pg_ctl", "-D", t->dir + "/data", "-m", "fast", "-w", "-t", "30", "stop"},
               40, true) != 0)
        return pg_failed(t, "pg_ctl stop", why);
    t->running = false;
    return true;
}

bool pg_cluster_start(pg_cluster *t, std::string *why)
{
    const std::string options =
        "-p " + std::to_string(t->port) + " -k " + t->dir + " -c listen_addresses=127.0.0.1";
    if (pg_run(t,
               {t->bin + "/pg_ctl", "-D", t->dir + "/data", "-l", t->dir + "/server.log", "-w",
                "-t", "30", "-o", options, "start"},
               40, true) != 0)
        return pg_failed(t, "pg_ctl start", why);
    t->running = true;
    return true;
}
