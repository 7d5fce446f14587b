// zmk-device: one device's run for a batch or station of zmk-cli, which
// starts one per device and reads its events and its end from standard
// output (app/run/child.h). It carries only what a run needs.
//   zmk-device [--timeout S] [--erase-timeout S] [--image FILE]
//              [--serial-put OFFSET:HEX] PORT
#include "app/run/child.h"
#include "app/run/run.h"
#include "platform/process.h"
#include "platform/tick.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

// OFFSET:HEX, the device's own serial number as its parent reserved it.
bool parse_put(const std::string &text, uint64_t *at, std::vector<uint8_t> *bytes)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon + 1 == text.size() || (text.size() - colon) % 2 == 0)
        return false;
    const std::string offset = text.substr(0, colon);
    char *end = nullptr;
    *at = std::strtoull(offset.c_str(), &end, 10);
    if (offset.empty() || !std::isdigit(static_cast<unsigned char>(offset[0])) || *end)
        return false;
    bytes->clear();
    for (size_t i = colon + 1; i < text.size(); i += 2) {
        const std::string pair = text.substr(i, 2);
        const unsigned long b = std::strtoul(pair.c_str(), &end, 16);
        if (*end || !std::isxdigit(static_cast<unsigned char>(pair[0])))
            return false;
        bytes->push_back(uint8_t(b));
    }
    return true;
}

int usage(const char *why)
{
    std::fprintf(stderr, "zmk-device: %s\n", why);
    return RUN_EXIT_USAGE;
}

} // namespace

int main(int argc, char **argv)
{
    static char out_buffer[1024];
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    run_options opt;
    opt.child = true;
    std::string image_path, put;
    CLI::App app{"One device's run for zmk-cli's batch or station.", "zmk-device"};
    app.allow_windows_style_options(false);
    app.add_option("--timeout", opt.timeout_s)->check(CLI::NonNegativeNumber);
    app.add_option("--erase-timeout", opt.erase_timeout_s)->check(CLI::NonNegativeNumber);
    app.add_option("--image", image_path);
    app.add_option("--serial-put", put);
    app.add_option("PORT", opt.port)->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? RUN_EXIT_DONE : RUN_EXIT_USAGE;
    }
    run_image image;
    std::string why;
    if (!run_image_load(image_path, &image, &why))
        return usage(why.c_str());
    uint64_t at = 0;
    std::vector<uint8_t> bytes;
    if (!put.empty()) {
        if (!parse_put(put, &at, &bytes) || at > image.size || bytes.size() > image.size - at)
            return usage("--serial-put takes OFFSET:HEX inside the image");
        run_image_put(&image, at, bytes);
    }
    // Ctrl-C at the terminal is the parent's to judge; it asks us to stop.
    proc_catch_interrupts(false);
    run_watch watch;
    run_watch_init(&watch, platform_tick_ms());
    const run_end end = run_device(opt, image, &watch);
    char line[400];
    child_format_end(&end, line, sizeof line);
    std::fputs(line, stdout);
    std::fflush(stdout);
    return end.exit;
}
