// --list: the ports that can be opened now, or with --match the ports the
// station would serve, so that an operator can try a pattern first.
#include "app/cli/list.h"

#include "platform/port_watch.h"
#include "platform/ports.h"

#include <cstdio>
#include <vector>

namespace {

// One look of the station's watch. -1 when a pattern is malformed.
int watched_ports(const std::vector<std::string> &match, std::vector<port_info> *out)
{
    std::vector<const char *> patterns;
    for (const std::string &m : match)
        patterns.push_back(m.c_str());
    port_watch *watch = port_watch_new(patterns.data(), int(patterns.size()));
    if (!watch)
        return -1;
    const int n = port_watch_poll(watch, 0, out->data(), int(out->size()));
    const char *first = nullptr;
    if (const int unkept = port_watch_unkept(watch, &first))
        std::fprintf(stderr, "zmk-cli: %d matching name(s) too long for a port path: %s\n", unkept,
                     first);
    port_watch_free(watch);
    return n;
}

} // namespace

int cli_list_ports(const cli_options &opt)
{
    // Vectors: a port_info holds a path of any length the system takes.
    std::vector<port_info> ports(PORTS_MAX);
    const int n =
        opt.match.empty() ? ports_list(ports.data(), PORTS_MAX) : watched_ports(opt.match, &ports);
    if (n < 0) {
        std::fprintf(stderr, "zmk-cli: --match usb: takes four hex digits each, as in "
                             "usb:0403:6001\n");
        return RUN_EXIT_USAGE;
    }
    for (int i = 0; i < n; ++i) {
        if (ports[i].description[0])
            std::printf("%s\t%s\n", ports[i].path, ports[i].description);
        else
            std::printf("%s\n", ports[i].path);
    }
    if (n == 0)
        std::fprintf(stderr, opt.match.empty() ? "zmk-cli: no serial ports found\n"
                                               : "zmk-cli: no serial port matches\n");
    return RUN_EXIT_DONE;
}
