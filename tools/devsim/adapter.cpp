#include "tools/devsim/adapter.h"

#include <charconv>
#include <filesystem>
#include <fstream>

void adapter_init(adapter *t, uint32_t latency_ms, uint32_t packet)
{
    *t = adapter{};
    t->latency_ms = t->started_ms = latency_ms;
    t->packet = packet;
    t->held.reserve(4096); // a reply and its garbage; no allocation per exchange
}

bool adapter_on(const adapter *t) { return t->latency_ms > 0 || !t->file.empty(); }

bool adapter_sysfs_make(adapter *t, const std::string &dir, const std::string &name,
                        std::string *error)
{
    namespace fs = std::filesystem;
    const fs::path device = fs::path(dir) / "class" / "tty" / name / "device";
    std::error_code ec;
    fs::create_directories(device, ec);
    const fs::path file = device / "latency_timer";
    std::ofstream made(file, std::ios::trunc);
    made << t->latency_ms << "\n";
    made.close();
    if (ec || !made) {
        *error = file.string() + ": cannot be written" + (ec ? ": " + ec.message() : "");
        return false;
    }
    t->file = file.string();
    return true;
}

void adapter_follow(adapter *t)
{
    if (t->file.empty())
        return;
    std::ifstream attribute(t->file);
    char text[16] = "";
    attribute.getline(text, sizeof text);
    uint32_t v = 0;
    const char *end = text;
    while (*end >= '0' && *end <= '9')
        ++end;
    if (end != text && std::from_chars(text, end, v).ec == std::errc() && v <= 255)
        t->latency_ms = v;
}

void adapter_put(adapter *t, const uint8_t *p, int32_t n, int64_t at_us)
{
    if (n <= 0)
        return;
    if (t->held.empty()) {
        adapter_follow(t);
        t->first_us = at_us;
    }
    t->held.insert(t->held.end(), p, p + n);
}

int64_t adapter_due_us(const adapter *t)
{
    if (t->held.empty())
        return -1;
    if (t->held.size() >= t->packet)
        return t->first_us; // a full packet goes at once
    return t->first_us + int64_t(t->latency_ms) * 1000;
}

int32_t adapter_due(const adapter *t, int64_t at_us)
{
    const int64_t due = adapter_due_us(t);
    return due >= 0 && at_us >= due ? int32_t(t->held.size()) : 0;
}

void adapter_sent(adapter *t)
{
    ++(t->held.size() >= t->packet ? t->full : t->timed);
    t->held.clear();
    t->first_us = -1;
}
