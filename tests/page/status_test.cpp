// The status document from a station's state: which tile each device lands
// on, what a tile shows while a device runs and after it has gone, and the
// counts.
#include "app/page/status.h"

#include "layers/lprog.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>

using json = nlohmann::json;

namespace {

struct station {
    snapshot snap;
    ui_slots *slots = ui_slots_new();

    station()
    {
        snap.station = "bench-3";
        snap.image_name = "image.bin";
        snap.image_size = 60800;
        snap.image_crc32 = 0x1a2b3c4d;
    }
    ~station() { ui_slots_free(slots); }
    snapshot_device &start(const std::string &port, uint32_t at_ms, const char *location = "")
    {
        snapshot_device &d = snap.running.emplace_back();
        d.port = port;
        std::snprintf(d.usb.location, sizeof d.usb.location, "%s", location);
        std::snprintf(d.usb.serial, sizeof d.usb.serial, "FT%s",
                      port.substr(port.size() - 1).c_str());
        d.start_ms = at_ms;
        return d;
    }
    void end(const std::string &port, bool passed, const char *result, const char *message,
             double seconds)
    {
        for (auto d = snap.running.begin(); d != snap.running.end(); ++d)
            if (d->port == port) {
                snapshot_end e;
                e.port = port;
                e.usb = d->usb;
                e.start_ms = d->start_ms;
                e.seconds = seconds;
                e.passed = passed;
                e.result = result;
                e.message = message;
                e.next = passed ? "" : "unplug the device and plug it in again to program it again";
                e.serial = d->serial;
                e.serial_state = d->serial.empty() ? "" : passed ? "used" : "spoiled";
                snap.ended.push_back(e);
                snap.running.erase(d);
                break;
            }
        ++snap.programmed;
        ++(passed ? snap.ok : snap.failed);
    }
    json status(uint32_t now_ms)
    {
        ui_slots_take(slots, snap, now_ms);
        snap.ended.clear();
        snap.ports_known = false;
        return json::parse(ui_status_json(snap, slots, now_ms));
    }
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
        EXPECT_EQ(ui_slots_parse(s.slots, bad, &why), LINE_REFUSED) << bad;
        EXPECT_NE(why.find(bad), std::string::npos) << why;
    }
    ASSERT_EQ(ui_slots_parse(s.slots, "bay-1=/dev/ttyUSB[0-3]", &why), LINE_OK) << why;
    ASSERT_EQ(ui_slots_parse(s.slots, "bay-2=usb-path:1-1.3*", &why), LINE_OK) << why;
    EXPECT_EQ(ui_slots_parse(s.slots, "bay-2=/dev/ttyACM0", &why), LINE_REFUSED);
    ASSERT_EQ(ui_slots_parse(s.slots, "bay-3=/dev/ttyUSB?", &why), LINE_OK) << why;
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
    snapshot_device &a = s.start("/dev/ttyUSB0", 1000);
    a.serial = "1042";
    a.phase = LPROG_PROGRAM;
    a.done = 25600;
    a.total = 60800;
    a.exchanges = 102;
    s.start("/dev/ttyUSB1", 1000);
    json t = tile(s.status(13500), "/dev/ttyUSB0");
    EXPECT_EQ(t["state"], "programming");
    EXPECT_EQ(t["phase"], "Programming");
    EXPECT_EQ(t["done"], 25600);
    EXPECT_EQ(t["total"], 60800);
    EXPECT_EQ(t["seconds"], 12);
    EXPECT_EQ(t["usb_serial"], "FT0");
    EXPECT_EQ(t["serial"], "1042");
    EXPECT_EQ(tile(s.status(1000), "/dev/ttyUSB1")["phase"], "Starting");
    s.end("/dev/ttyUSB0", true, "ok", "", 14.26);
    s.end("/dev/ttyUSB1", false, "silent", "the device stopped answering", 30);
    s.snap.ended[0].reply_ms = 16.26; // behind a USB adapter's default timer
    s.snap.ended[1].reply_ms = 0.8;
    s.snap.ports_known = true; // both unplugged
    json st = s.status(50000);
    t = tile(st, "/dev/ttyUSB0");
    EXPECT_EQ(t["state"], "pass");
    EXPECT_EQ(t["seconds"], 14.3);
    EXPECT_EQ(t["reply_ms"], 16.3);
    EXPECT_EQ(t["adapter"], "slow adapter: 16 ms a reply");
    EXPECT_EQ(tile(st, "/dev/ttyUSB1")["reply_ms"], 0.8);
    EXPECT_EQ(tile(st, "/dev/ttyUSB1")["adapter"], nullptr);
    EXPECT_EQ(t["present"], false);
    EXPECT_EQ(t["serial"], "1042");
    EXPECT_EQ(t["serial_state"], "used");
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

// What the engine says while the device acknowledges nothing.
TEST(UiStatus, WhileTheDeviceAcknowledgesNothingTheTileSaysWhy)
{
    station s;
    s.start("/dev/ttyUSB1", 1000);
    const struct {
        zmk_verdict verdict;
        const char *text, *state;
    } waits[] = {{ZMK_NO_ANSWER, "no answer for 7 s, waiting on PROGRAM at 0x4c00", "no-answer"},
                 {ZMK_REFUSING, "answers NAK to PROGRAM at 0x4c00 (gives up at 30 s)", "refusing"},
                 {ZMK_ERASING, "still erasing for 12 s (gives up at 300 s)", "erasing"}};
    for (const auto &w : waits) {
        snapshot_device &b = s.snap.running.back();
        b.phase = LPROG_PROGRAM;
        b.exchanges = 3;
        b.waiting = w.verdict;
        b.detail = w.text;
        const json t = tile(s.status(4000), "/dev/ttyUSB1");
        EXPECT_EQ(t["state"], w.state);
        EXPECT_EQ(t["detail"], w.text);
    }
}

TEST(UiStatus, TheHeaderCountsAndAPortHeldByAnotherProgram)
{
    station s;
    s.snap.stopping = true;
    s.snap.today_known = true;
    s.snap.today_programmed = 130;
    json st = s.status(0);
    EXPECT_EQ(st["station"], "bench-3");
    EXPECT_EQ(st["state"], "stopped");
    EXPECT_EQ(st["image"], json({{"name", "image.bin"}, {"size", 60800}, {"crc32", "1a2b3c4d"}}));
    EXPECT_EQ(st["counts"]["yield"], nullptr);
    EXPECT_EQ(st["counts"]["per_hour"], nullptr);
    EXPECT_EQ(st["today"]["programmed"], 130);
    for (int i = 0; i < 4; ++i) {
        const std::string port = "/dev/ttyUSB" + std::to_string(i);
        s.start(port, 0);
        s.end(port, i < 3, i < 3 ? "ok" : "silent", "", 10);
    }
    s.snap.busy.push_back(snapshot_busy{"/dev/ttyUSB5", 2000});
    st = s.status(20000); // four devices in the first 20 s
    EXPECT_EQ(st["counts"]["programmed"], 4);
    EXPECT_EQ(st["counts"]["yield"], 75.0);
    EXPECT_EQ(st["counts"]["per_hour"], 720.0);
    const json t = tile(st, "/dev/ttyUSB5");
    EXPECT_EQ(t["state"], "in-use");
    EXPECT_EQ(t["seconds"], 18);
    s.snap.stopping = false;
    EXPECT_EQ(s.status(20000)["state"], "running");
}

namespace {

port_info present_port(const std::string &path)
{
    port_info p{};
    std::snprintf(p.path, sizeof p.path, "%s", path.c_str());
    return p;
}

std::vector<std::string> needs_of(const json &status)
{
    std::vector<std::string> out;
    for (const json &n : status["needs"])
        out.push_back(n["slot"].get<std::string>() + " " + n["state"].get<std::string>());
    return out;
}

} // namespace

TEST(UiStatus, WhatNeedsTheOperatorComesFirstMostUrgentThenInTheTilesOrder)
{
    station s;
    std::string why;
    for (int i = 1; i <= 7; ++i)
        ASSERT_EQ(ui_slots_parse(s.slots,
                                 "bay-" + std::to_string(i) + "=/dev/ttyUSB" + std::to_string(i),
                                 &why),
                  LINE_OK);
    json st = s.status(0);
    EXPECT_EQ(st["needs"], json::array());
    for (int i = 2; i <= 7; ++i)
        s.start("/dev/ttyUSB" + std::to_string(i), 0);
    s.snap.busy.push_back(snapshot_busy{"/dev/ttyUSB1", 0});
    s.end("/dev/ttyUSB3", false, "silent",
          "the device stopped answering: nothing acknowledged for 15.0 s while waiting on "
          "PROGRAM at 0x4c00",
          16);
    s.end("/dev/ttyUSB5", false, "refused", "the device refuses ERASE: it answers NAK", 3);
    s.end("/dev/ttyUSB6", false, "silent", "the device stopped answering", 3);
    s.end("/dev/ttyUSB7", true, "ok", "", 3);
    s.status(1000);
    // A state a later change brings: the bay is to be looked at first.
    ui_slots_of(s.slots, "/dev/ttyUSB6", port_info{}, 1000)->last.state = "held";
    for (auto &d : s.snap.running) {
        d.exchanges = 3;
        d.phase = LPROG_PROGRAM;
        d.waiting = d.port == "/dev/ttyUSB2" ? ZMK_REFUSING : ZMK_NO_ANSWER;
        d.detail = d.port == "/dev/ttyUSB2"
                       ? "answers NAK to PROGRAM at 0x4c00 (gives up at 30 s)"
                       : "no answer for 7 s, waiting on PROGRAM at 0x4c00 (gives up at 30 s)";
    }
    st = s.status(8000);
    EXPECT_EQ(needs_of(st),
              (std::vector<std::string>{"bay-6 held", "bay-3 fail", "bay-5 fail", "bay-1 in-use",
                                        "bay-4 no-answer", "bay-2 refusing"}));
    const json &n = st["needs"];
    EXPECT_EQ(n[1]["text"], "unplug the device and plug it in again to program it again");
    EXPECT_EQ(n[3]["text"], "close the program that holds the port");
    EXPECT_EQ(n[4]["text"], "no answer for 7 s (gives up at 30 s)");
    EXPECT_EQ(n[5]["text"], "answers NAK (gives up at 30 s)");
    // The plain words lead; the command follows on its own.
    json t = tile(st, "bay-3");
    EXPECT_EQ(t["plain"], "the device stopped answering: nothing acknowledged for 15.0 s");
    EXPECT_EQ(t["command"], "PROGRAM at 0x4c00");
    EXPECT_EQ(t["reason"], "the device stopped answering: nothing acknowledged for 15.0 s while "
                           "waiting on PROGRAM at 0x4c00");
    t = tile(st, "bay-5");
    EXPECT_EQ(t["plain"], "the device refuses: it answers NAK");
    EXPECT_EQ(t["command"], "ERASE");
    t = tile(st, "bay-2");
    EXPECT_EQ(t["plain"], "answers NAK (gives up at 30 s)");
    EXPECT_EQ(t["command"], "PROGRAM at 0x4c00");
    EXPECT_EQ(tile(st, "bay-7")["plain"], nullptr);
}

TEST(UiStatus, TheEnginesWordsSplitIntoThePlainPartAndTheCommand)
{
    const struct {
        const char *text, *plain, *command;
    } cases[] = {
        {"the device disconnected while waiting on PROGRAM at 0x1200", "the device disconnected",
         "PROGRAM at 0x1200"},
        {"the device stopped answering: nothing acknowledged for 30.0 s while waiting on the "
         "erase poll; the record could not be kept",
         "the device stopped answering: nothing acknowledged for 30.0 s; the record could not "
         "be kept",
         "the erase poll"},
        {"interrupted while waiting on RTC_SET: the image is written, but the clock is not set",
         "interrupted: the image is written, but the clock is not set", "RTC_SET"},
        {"no answer for 7 s, waiting on RESET (waits for ever)",
         "no answer for 7 s (waits for ever)", "RESET"},
        {"answers an empty packet to ERASE (gives up at 30 s)",
         "answers an empty packet (gives up at 30 s)", "ERASE"},
        {"the device refuses PROGRAM at 0x1900: it answers NAK",
         "the device refuses: it answers NAK", "PROGRAM at 0x1900"},
        {"still erasing for 12 s (gives up at 300 s)", "still erasing for 12 s (gives up at 300 s)",
         ""},
        {"the erase did not finish within 3 s: the device still answers BUSY to the erase poll",
         "the erase did not finish within 3 s: the device still answers BUSY to the erase poll",
         ""},
        {"/dev/ttyUSB0 is in use by another program: pid 612 (modem-probe)",
         "/dev/ttyUSB0 is in use by another program: pid 612 (modem-probe)", ""},
    };
    for (const auto &c : cases) {
        const ui_words w = ui_split_message(c.text);
        EXPECT_EQ(w.plain, c.plain) << c.text;
        EXPECT_EQ(w.command, c.command) << c.text;
    }
}

TEST(UiStatus, HaltYieldAndNumbersAsTheTerminalHasThem)
{
    station s;
    json st = s.status(0);
    EXPECT_EQ(st["halt"], nullptr);
    EXPECT_EQ(st["state"], "running");
    s.snap.halt = "records cannot be written to line.jsonl: no new device is started until they "
                  "can be (tried every second)";
    st = s.status(0);
    EXPECT_EQ(st["halt"], s.snap.halt);
    EXPECT_EQ(st["state"], "stopped");
    s.snap.halt.clear();

    // 10 of 15: 66.7 %, as the console rounds, not 66.6.
    for (int i = 0; i < 15; ++i) {
        const std::string port = "/dev/ttyACM" + std::to_string(i);
        s.start(port, 0).serial = std::to_string(1000 + i);
        s.end(port, i < 10, i < 10 ? "ok" : "silent", "", 10);
    }
    s.snap.ended.back().serial_state = "returned";     // never written
    s.snap.ended.rbegin()[1].serial_state = "spoiled"; // written, the device failed
    st = s.status(20000);
    EXPECT_EQ(st["counts"]["yield"], 66.7);
    json t = tile(st, "/dev/ttyACM14");
    EXPECT_EQ(t["serial"], nullptr) << "a number gone back to the pool is not the device's";
    EXPECT_EQ(t["serial_state"], "returned");
    t = tile(st, "/dev/ttyACM13");
    EXPECT_EQ(t["serial"], "1013");
    EXPECT_EQ(t["serial_state"], "spoiled");
    EXPECT_EQ(tile(st, "/dev/ttyACM0")["serial"], "1000");
    s.snap.programmed = 3, s.snap.ok = 1;
    EXPECT_EQ(s.status(20000)["counts"]["yield"], 33.3);
    s.snap.ok = 2;
    EXPECT_EQ(s.status(20000)["counts"]["yield"], 66.7);
}

TEST(UiStatus, ADevicePluggedIntoAStoppedStationWaitsAndSaysSo)
{
    station s;
    std::string why;
    ASSERT_EQ(ui_slots_parse(s.slots, "bay-1=/dev/ttyUSB0", &why), LINE_OK);
    ASSERT_EQ(ui_slots_parse(s.slots, "bay-2=/dev/ttyUSB1", &why), LINE_OK);
    const auto ports = [&](std::vector<std::string> paths) {
        s.snap.ports_known = true;
        s.snap.present.clear();
        for (const std::string &p : paths)
            s.snap.present.push_back(present_port(p));
    };
    ports({"/dev/ttyUSB0", "/dev/ttyUSB1"});
    s.status(0);
    s.start("/dev/ttyUSB0", 0);
    s.start("/dev/ttyUSB1", 0);
    s.snap.stopping = true; // Stop while both run
    ports({"/dev/ttyUSB0", "/dev/ttyUSB1"});
    EXPECT_EQ(s.status(1000)["state"], "stopping");
    s.end("/dev/ttyUSB0", true, "ok", "", 4);
    s.end("/dev/ttyUSB1", true, "ok", "", 4);
    ports({"/dev/ttyUSB0", "/dev/ttyUSB1"});
    json st = s.status(5000);
    EXPECT_EQ(st["state"], "stopped");
    EXPECT_EQ(tile(st, "bay-1")["state"], "pass") << "still plugged in: its result stays";

    ports({"/dev/ttyUSB1"}); // bay-1's device unplugged...
    EXPECT_EQ(tile(s.status(6000), "bay-1")["state"], "pass");
    ports({"/dev/ttyUSB0", "/dev/ttyUSB1"}); // ...and another plugged in
    st = s.status(7000);
    const json t = tile(st, "bay-1");
    EXPECT_EQ(t["state"], "waiting");
    EXPECT_EQ(t["detail"], "plugged in, not started: the station is stopped");
    EXPECT_EQ(tile(st, "bay-2")["state"], "pass");
    EXPECT_EQ(st["needs"], json::array());

    // Resumed: the device plugged in starts, and its tile shows it.
    ports({"/dev/ttyUSB0", "/dev/ttyUSB1"});
    EXPECT_EQ(tile(s.status(9000), "bay-1")["detail"],
              "plugged in, not started: the station is stopped");
    s.snap.stopping = false;
    s.start("/dev/ttyUSB0", 9500);
    ports({"/dev/ttyUSB0", "/dev/ttyUSB1"});
    st = s.status(10000);
    EXPECT_EQ(tile(st, "bay-1")["state"], "programming");
    EXPECT_EQ(st["state"], "running");

    // The same under a halt the station names (the records cannot be kept).
    s.end("/dev/ttyUSB0", true, "ok", "", 4);
    s.snap.halt = "records cannot be written to log.jsonl: no new device is started";
    ports({"/dev/ttyUSB1"});
    s.status(14000);
    ports({"/dev/ttyUSB0", "/dev/ttyUSB1"});
    st = s.status(15000);
    EXPECT_EQ(tile(st, "bay-1")["detail"], "plugged in, not started: the station is stopped");
    EXPECT_EQ(st["halt"], "records cannot be written to log.jsonl: no new device is started");
}

TEST(UiStatus, APortAskedForAgainStaysInUseUntilItsDeviceAnswers)
{
    station s;
    s.snap.busy.push_back(snapshot_busy{"/dev/ttyUSB5", 0});
    EXPECT_EQ(tile(s.status(1000), "/dev/ttyUSB5")["state"], "in-use");
    snapshot_device &d = s.start("/dev/ttyUSB5", 2000); // asked again: opening it
    json st = s.status(2100);
    EXPECT_EQ(tile(st, "/dev/ttyUSB5")["state"], "in-use");
    EXPECT_EQ(st["needs"].at(0)["slot"], "/dev/ttyUSB5");
    d.exchanges = 1; // let go: the device answers
    EXPECT_EQ(tile(s.status(2200), "/dev/ttyUSB5")["state"], "programming");
}
