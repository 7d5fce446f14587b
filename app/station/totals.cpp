#include "app/station/totals.h"

#include "app/database/store.h"

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>

struct totals {
    std::string db;
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false, known = false;
    int64_t runs = 0, ok = 0;
    std::thread thread;
};

namespace {

constexpr auto EVERY = std::chrono::seconds(10);

// Since midnight UTC.
std::string today()
{
    char day[16];
    const std::time_t t = std::time(nullptr);
    std::strftime(day, sizeof day, "%Y-%m-%d", std::gmtime(&t));
    return day;
}

void ask(totals *t)
{
    std::string why;
    store *db = nullptr;
    std::unique_lock<std::mutex> hold(t->lock);
    while (!t->stop) {
        hold.unlock();
        if (!db)
            db = store_open(t->db, &why);
        int64_t runs = 0, ok = 0;
        const bool got = db && store_totals(db, today(), &runs, &ok, &why) == LINE_OK;
        hold.lock();
        if (got)
            t->known = true, t->runs = runs, t->ok = ok;
        t->wake.wait_for(hold, EVERY, [t] { return t->stop; });
    }
    hold.unlock();
    store_close(db);
}

} // namespace

totals *totals_start(const std::string &db)
{
    if (!store_is_server_name(db))
        return nullptr;
    auto *t = new totals;
    t->db = db;
    t->thread = std::thread(ask, t);
    return t;
}

bool totals_get(totals *t, int64_t *runs, int64_t *ok)
{
    if (!t)
        return false;
    std::lock_guard<std::mutex> hold(t->lock);
    *runs = t->runs;
    *ok = t->ok;
    return t->known;
}

void totals_stop(totals *t)
{
    if (!t)
        return;
    {
        std::lock_guard<std::mutex> hold(t->lock);
        t->stop = true;
    }
    t->wake.notify_one();
    t->thread.join();
    delete t;
}
