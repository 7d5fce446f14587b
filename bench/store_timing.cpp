// How long the line's database makes a device wait: store_reserve and
// store_finish, as a run does them one after the other, on an SQLite file and
// on a throwaway PostgreSQL cluster on this machine. Prints the median and the
// worst of each in ms.
//   zmk_store_timing [COUNT]   (1000 when not given)
#include "app/database/store.h"
#include "tests/support/pg_cluster.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

std::string record(const std::string &run, uint64_t value)
{
    return "{\"time\":\"2026-12-07T15:00:00Z\",\"host\":\"bench-3\",\"port\":\"/dev/ttyUSB0\","
           "\"usb\":{\"vid\":\"0403\",\"pid\":\"6001\",\"serial\":\"A10K3\",\"location\":"
           "\"1-1.3\",\"product\":\"FT232R\"},\"image\":{\"name\":\"built-in\",\"size\":60800,"
           "\"crc32\":\"1a2b3c4d\"},\"result\":\"ok\",\"exit\":0,\"message\":null,\"seconds\":"
           "9.83,\"exchanges\":245,\"repeats\":0,\"serial\":{\"pool\":\"default\",\"value\":" +
           std::to_string(value) + ",\"bytes\":\"00\",\"state\":\"used\"},\"run\":\"" + run +
           "\",\"tool\":\"zmk-cli 0.1.0\"}";
}

void report(const char *kind, const char *call, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    std::printf("%-11s %-14s median %7.3f ms   worst %8.3f ms   (%zu calls)\n", kind, call,
                ms[ms.size() / 2], ms.back(), ms.size());
}

double since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

bool measure(const char *kind, const std::string &db, int count)
{
    std::string why;
    store *t = store_open(db, &why);
    store_pool pool;
    pool.name = "default";
    if (!t || store_pool_check(t, pool, &why) != LINE_OK) {
        std::fprintf(stderr, "%s: %s\n", kind, why.c_str());
        store_close(t);
        return false;
    }
    std::vector<double> reserve, finish;
    for (int k = 0; k < count; ++k) {
        const std::string run = "bench-3-1-" + std::to_string(k);
        uint64_t value = 0;
        auto start = clock_type::now();
        const bool reserved =
            store_reserve(t, "default", store_who{run, "bench-3", 1, "/dev/ttyUSB0", "", ""},
                          &value, &why) == LINE_OK;
        reserve.push_back(since(start));
        start = clock_type::now();
        if (!reserved || store_finish(t, record(run, value), &why) != LINE_OK) {
            std::fprintf(stderr, "%s: %s\n", kind, why.c_str());
            store_close(t);
            return false;
        }
        finish.push_back(since(start));
    }
    store_close(t);
    report(kind, "store_reserve", reserve);
    report(kind, "store_finish", finish);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (count < 1) {
        std::fprintf(stderr, "usage: zmk_store_timing [COUNT]\n");
        return 2;
    }
    const auto dir =
        std::filesystem::temp_directory_path() /
        ("zmk-store-timing-" + std::to_string(clock_type::now().time_since_epoch().count()));
    std::filesystem::create_directories(dir);
    const bool sqlite_ok = measure("SQLite", (dir / "line.db").string(), count);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);

    std::string why;
    pg_cluster *c = pg_cluster_new(&why);
    if (!c)
        std::fprintf(stderr, "PostgreSQL: %s\n", why.c_str());
    const bool pg_ok = c && measure("PostgreSQL", pg_cluster_uri(c), count);
    pg_cluster_free(c);
    return sqlite_ok && pg_ok ? 0 : 1;
}
