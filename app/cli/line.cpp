// The production line: several ports at once, or the station that programs
// every device as it appears. Ctrl-C starts no new runs and lets the running
// ones finish; a second one stops them.
#include "app/cli/gang.h"

#include "platform/port_watch.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

namespace {

size_t jobs_of(const cli_options &opt, size_t all)
{
    return opt.jobs > 0 ? size_t(opt.jobs) : std::max<size_t>(all, 1);
}

// Ctrl-C once: no new runs; twice: the running ones are stopped.
int follow_interrupts(gang *g, bool *killed)
{
    const int count = proc_interrupts();
    if (count >= 2 && !*killed) {
        gang_kill_all(g);
        *killed = true;
    }
    return count;
}

int run_ports(gang *g, const std::vector<std::string> &ports)
{
    const size_t jobs = jobs_of(*g->opt, ports.size());
    size_t next = 0;
    bool killed = false;
    while (next < ports.size() || !g->running.empty()) {
        if (follow_interrupts(g, &killed) > 0)
            while (next < ports.size()) // never started: the batch is not done
                gang_not_started(g, ports[next++]);
        while (next < ports.size() && g->running.size() < jobs)
            gang_start(g, ports[next++], nullptr);
        gang_pump(g, 100);
    }
    return g->worst;
}

bool is_running(const gang *g, const std::string &port)
{
    return std::any_of(g->running.begin(), g->running.end(),
                       [&](const gang_device &d) { return d.port == port; });
}

// Each port is programmed once per appearance: it stays served until it
// has been seen gone (even while its run went on) and its run has ended;
// then it counts as new again.
void serve_new(gang *g, const port_info *present, int n, std::map<std::string, bool> *served,
               bool starting)
{
    for (auto it = served->begin(); it != served->end();) {
        const bool here = std::any_of(present, present + n,
                                      [&](const port_info &p) { return it->first == p.path; });
        it->second = it->second || !here;
        it = it->second && !is_running(g, it->first) ? served->erase(it) : std::next(it);
    }
    const size_t jobs = jobs_of(*g->opt, size_t(-1) / 2);
    for (int i = 0; starting && i < n && g->running.size() < jobs; ++i) {
        if (served->count(present[i].path))
            continue;
        (*served)[present[i].path] = false;
        gang_start(g, present[i].path, &present[i]);
    }
}

int run_station(gang *g)
{
    std::vector<const char *> patterns;
    for (const std::string &m : g->opt->match)
        patterns.push_back(m.c_str());
    port_watch *watch = port_watch_new(patterns.data(), int(patterns.size()));
    std::vector<port_info> present(PORTS_MAX);
    std::map<std::string, bool> served; // port -> seen gone since its run began
    bool killed = false;
    std::fprintf(stderr, "zmk-cli: waiting for devices; Ctrl-C stops\n");
    for (;;) {
        const int interrupts = follow_interrupts(g, &killed);
        if (interrupts > 0 && g->running.empty())
            break;
        const int n = port_watch_poll(watch, 100, present.data(), int(present.size()));
        serve_new(g, present.data(), n, &served, interrupts == 0);
        gang_pump(g, 0);
    }
    port_watch_free(watch);
    gang_count(g);
    return g->failed == 0 ? CLI_EXIT_DONE : CLI_EXIT_SILENT;
}

} // namespace

int cli_gang(const cli_options &opt, const cli_image &image)
{
    proc_catch_interrupts();
    static gang g;
    gang_init(&g, opt, image);
    g.station = opt.station;
    return opt.station ? run_station(&g) : run_ports(&g, opt.ports);
}
