#include "app/record/spool.h"

#include "framework/bytes.h"
#include "platform/files.h"
#include "platform/process.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

fs::path state_dir()
{
    for (const char *var : {"XDG_STATE_HOME", "LOCALAPPDATA"})
        if (const char *v = std::getenv(var); v && *v)
            return fs::path(v) / "zmk";
    const char *home = std::getenv("HOME");
    return fs::path(home && *home ? home : ".") / ".local" / "state" / "zmk";
}

// Spools are named after the database, and after the process that owns them.
std::string prefix_of(const std::string &db_name)
{
    char text[32];
    std::snprintf(text, sizeof text, "spool-%08x-",
                  unsigned(crc32_block(reinterpret_cast<const uint8_t *>(db_name.data()),
                                       int32_t(db_name.size()))));
    return text;
}

} // namespace

std::string spool_path(const std::string &db_name, long long pid)
{
    const fs::path dir = state_dir();
    std::error_code ec;
    fs::create_directories(dir, ec);
    return (dir / (prefix_of(db_name) + std::to_string(pid) + ".jsonl")).string();
}

line_status spool_append(const std::string &path, const std::string &json, std::string *why)
{
    const std::string line = json + "\n";
    if (platform_append_durable(path.c_str(), line.data(), line.size()) == 0)
        return LINE_OK;
    *why = "the spool " + path + " cannot be written";
    return LINE_AWAY;
}

void spool_remove(const std::string &path)
{
    std::error_code ec;
    fs::remove(path, ec);
}

void spool_adopt(const std::string &db_name, long long self,
                 const std::function<bool(const std::string &json)> &take)
{
    const std::string prefix = prefix_of(db_name);
    std::error_code ec;
    for (const fs::directory_entry &e : fs::directory_iterator(state_dir(), ec)) {
        const std::string file = e.path().filename().string();
        if (file.rfind(prefix, 0) != 0)
            continue;
        const long long pid = std::atoll(file.c_str() + prefix.size());
        if (pid == self || proc_alive(pid))
            continue;
        std::ifstream in(e.path());
        bool all = true;
        int n = 0;
        for (std::string line; all && std::getline(in, line); ++n)
            all = line.empty() || take(line);
        in.close();
        if (all)
            fs::remove(e.path(), ec);
        std::fprintf(stderr, "zmk-cli: %d record%s left on this station by an earlier run %s\n", n,
                     n == 1 ? "" : "s",
                     all ? "written to the database" : "could not be written yet");
    }
}
