// The status document from a station's state: which tile each device lands
// on, what a tile shows while a device runs and after it has gone, and the
// counts.
#include "app/page/status.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>

using json = nlohmann::json;

namespace {

struct station {
    cli_options opt;
    cli_image image{{}, "image.bin", 60800, 0x1a2b3c4d};
    gang g{};
    ui_slots *slots = ui_slots_new();
    ui_station about;

    station()
    {
        g.opt = &opt;
        g.image = &image;
        g.host = "bench-3";
    }
    ~station() { ui_slots_free(slots); }
    gang_device &start(const std::string &port, uint32_t at_ms, const char *location = "")
    {
        gang_device &d = g.running.emplace_back();
        d.port = port;
        std::snprintf(d.usb.location, sizeof d.usb.location, "%s", location);
        std::snprintf(d.usb.serial, sizeof d.usb.serial, "FT%s",
                      port.substr(port.size() - 1).c_str());
        d.start_ms = at_ms;
        return d;
    }
    void end(gang_device &d, const cli_outcome &o)
    {
        (o.exit == RUN_EXIT_DONE ? g.ok : g.failed) += 1;
        ++g.programmed;
        ui_slots_end(slots, d, o);
        g.running.remove_if([&](const gang_device &x) { return &x == &d; });
    }
    json status(uint32_t now_ms) { return json::parse(ui_status_json(&g, slots, about, now_ms)); }
};

json tile(const json &status, const std::string &name)
{
    for (const json &t : status["slots"])
        if (t["name"] == name)
            return t;
    return nullptr;
}

std::vector<std::string> names(const json &status)
{
    std::vector<std::string> out;
    for (const json &t : status["slots"])
        out.push_back(t["name"]);
    return out;
}

} // namespace

TEST(UiSlots, NamedSlotsTakeTheirPortsAndKeepTheirPlaces)
{
    station s;
    std::string why;
    for (const char *bad : {"bay", "=/dev/ttyUSB0", "bay=", "bay=usb-path:"}) {
        EXPECT_EQ(ui_slots_parse(s.slots, bad, &why), -1) << bad;
        EXPECT_NE(why.find(bad), std::string::npos) << why;
    }
    ASSERT_EQ(ui_slots_parse(s.slots, "bay-1=/dev/ttyUSB[0-3]", &why), 0) << why;
    ASSERT_EQ(ui_slots_parse(s.slots, "bay-2=usb-path:1-1.3*", &why), 0) << why;
    EXPECT_EQ(ui_slots_parse(s.slots, "bay-2=/dev/ttyACM0", &why), -1);
    ASSERT_EQ(ui_slots_parse(s.slots, "bay-3=/dev/ttyUSB?", &why), 0) << why;
    s.start("/dev/ttyUSB7", 0, "1-1.3.2"); // by where it is plugged
    s.start("/dev/ttyUSB9", 0);            // by its path
    s.start("/dev/ttyUSB2", 0);
    s.start("/dev/pts/4", 0, "1-1.3"); // a glob matches a whole name: usb-path
    s.start("/tmp/\xff\xfe", 0);       // not UTF-8: still shown
    json st = s.status(1000);
    EXPECT_EQ(names(st), (std::vector<std::string>{"bay-1", "bay-2", "bay-3",
                                                   "/tmp/\xef\xbf\xbd\xef\xbf\xbd"}));
    EXPECT_EQ(tile(st, "bay-2")["port"], "/dev/pts/4");
    EXPECT_EQ(tile(st, "bay-3")["port"], "/dev/ttyUSB9");
    EXPECT_EQ(tile(st, "bay-1")["port"], "/dev/ttyUSB2");
    // A port that came later goes after them; the named ones stay first.
    s.start("/dev/ttyACM0", 0);
    EXPECT_EQ(names(s.status(2000)).back(), "/dev/ttyACM0");
    EXPECT_TRUE(ui_glob("/dev/serial/by-path/*-usb-0:1.3:*",
                        "/dev/serial/by-path/pci-0:14.0-usb-0:1.3:1.0-port0"));
    EXPECT_FALSE(ui_glob("/dev/ttyUSB?", "/dev/ttyUSB10"));
    EXPECT_TRUE(ui_glob("COM[!0-2]*", "COM31"));
    EXPECT_FALSE(ui_glob("COM[!0-2]*", "COM12"));
    EXPECT_TRUE(ui_glob("/tmp/a[", "/tmp/a["));
}

TEST(UiStatus, ATileShowsItsDeviceThenKeepsTheResultUntilTheNextStarts)
{
    station s;
    gang_device &a = s.start("/dev/ttyUSB0", 1000);
    gang_device &b = s.start("/dev/ttyUSB1", 1000);
    s.g.running.front().claimed = true;
    s.g.running.front().claim.value = 1042;
    a.watch.last = lprog_progress{LPROG_PROGRAM, 0x6400, 25600, 60800};
    a.watch.exchanges = 102;
    json t = tile(s.status(13500), "/dev/ttyUSB0");
    EXPECT_EQ(t["state"], "programming");
    EXPECT_EQ(t["phase"], "Programming");
    EXPECT_EQ(t["done"], 25600);
    EXPECT_EQ(t["total"], 60800);
    EXPECT_EQ(t["seconds"], 12);
    EXPECT_EQ(t["usb_serial"], "FT0");
    EXPECT_EQ(t["serial"], "1042");
    EXPECT_EQ(tile(s.status(1000), "/dev/ttyUSB1")["phase"], "Starting");
    // What the engine says while the device acknowledges nothing.
    const struct {
        uint32_t command;
        const char *text, *state;
    } waits[] = {{LPROG_PROGRAM, "no answer for 7 s, waiting on PROGRAM at 0x4c00", "no-answer"},
                 {LPROG_PROGRAM, "answers NAK to PROGRAM at 0x4c00 (gives up at 30 s)", "refusing"},
                 {LPROG_WAIT_ERASE, "still erasing for 12 s (gives up at 300 s)", "erasing"}};
    for (const auto &w : waits) {
        b.watch.last.state = w.command;
        b.watch.exchanges = 3;
        std::snprintf(b.watch.waiting, sizeof b.watch.waiting, "%s", w.text);
        t = tile(s.status(4000), "/dev/ttyUSB1");
        EXPECT_EQ(t["state"], w.state);
        EXPECT_EQ(t["detail"], w.text);
    }

    s.end(a, cli_outcome{RUN_EXIT_DONE, "ok", "", 14.26, 300, 0});
    cli_outcome failed{RUN_EXIT_SILENT, "silent", "the device stopped answering", 30, 12, 4};
    s.end(b, failed);
    port_info none{};
    ui_slots_seen(s.slots, &none, 0, 50000); // both unplugged
    json st = s.status(50000);
    t = tile(st, "/dev/ttyUSB0");
    EXPECT_EQ(t["state"], "pass");
    EXPECT_EQ(t["seconds"], 14.3);
    EXPECT_EQ(t["present"], false);
    EXPECT_EQ(t["serial"], "1042");
    t = tile(st, "/dev/ttyUSB1");
    EXPECT_EQ(t["state"], "fail");
    EXPECT_EQ(t["reason"], "the device stopped answering");
    EXPECT_EQ(t["next"], "unplug the device and plug it in again to program it again");

    s.start("/dev/ttyUSB1", 60000);
    st = s.status(61000);
    t = tile(st, "/dev/ttyUSB1");
    EXPECT_EQ(t["state"], "programming");
    EXPECT_EQ(t["reason"], nullptr);
    EXPECT_EQ(tile(st, "/dev/ttyUSB0")["state"], "pass");
    EXPECT_EQ(names(st), (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1"}));
}

TEST(UiStatus, TheHeaderCountsAndAPortHeldByAnotherProgram)
{
    station s;
    s.about.stopping = true;
    s.about.today_known = true;
    s.about.today_programmed = 130;
    json st = s.status(0);
    EXPECT_EQ(st["station"], "bench-3");
    EXPECT_EQ(st["state"], "stopped");
    EXPECT_EQ(st["image"], json({{"name", "image.bin"}, {"size", 60800}, {"crc32", "1a2b3c4d"}}));
    EXPECT_EQ(st["counts"]["yield"], nullptr);
    EXPECT_EQ(st["counts"]["per_hour"], nullptr);
    EXPECT_EQ(st["today"]["programmed"], 130);
    for (int i = 0; i < 4; ++i)
        s.end(s.start("/dev/ttyUSB" + std::to_string(i), 0),
              cli_outcome{i < 3 ? RUN_EXIT_DONE : RUN_EXIT_SILENT, i < 3 ? "ok" : "silent", "", 10,
                          0, 0});
    s.g.busy["/dev/ttyUSB5"] = gang_busy{2000, 3000, false};
    st = s.status(20000); // four devices in the first 20 s
    EXPECT_EQ(st["counts"]["programmed"], 4);
    EXPECT_EQ(st["counts"]["yield"], 75.0);
    EXPECT_EQ(st["counts"]["per_hour"], 720.0);
    const json t = tile(st, "/dev/ttyUSB5");
    EXPECT_EQ(t["state"], "in-use");
    EXPECT_EQ(t["seconds"], 18);
    s.about.stopping = false;
    EXPECT_EQ(s.status(20000)["state"], "running");
}
