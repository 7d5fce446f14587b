// The station's counts as a scraper reads them: each series by its labels,
// the histogram's cumulative buckets, labels that hold anything, and the
// whole text as Prometheus's own checker takes it.
#include "app/page/metrics.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

bool has(const std::string &text, const std::string &line)
{
    return text.find(line + "\n") != std::string::npos;
}

} // namespace

TEST(Metrics, CountsByResultSlotSerialAndRecordAndTheRunTimes)
{
    metrics *m = metrics_new("bench-3");
    metrics_end(m, "bay-1", "ok", 4.2, "used", true);
    metrics_end(m, "bay-1", "ok", 5, "used", true); // on a bound: counted at or below it
    metrics_end(m, "bay-2", "silent", 31, "spoiled", true);
    metrics_end(m, "bay-2", "ok", 400, "", false); // no number; its record not kept
    const std::string text = metrics_text(m, 2, 1, false);
    for (const char *line : {
             "zmk_devices_total{station=\"bench-3\",result=\"ok\"} 3",
             "zmk_devices_total{station=\"bench-3\",result=\"silent\"} 1",
             "zmk_slot_devices_total{station=\"bench-3\",slot=\"bay-1\",result=\"ok\"} 2",
             "zmk_slot_devices_total{station=\"bench-3\",slot=\"bay-2\",result=\"ok\"} 1",
             "zmk_slot_devices_total{station=\"bench-3\",slot=\"bay-2\",result=\"silent\"} 1",
             "zmk_serial_numbers_total{station=\"bench-3\",event=\"used\"} 2",
             "zmk_serial_numbers_total{station=\"bench-3\",event=\"spoiled\"} 1",
             "zmk_serial_numbers_total{station=\"bench-3\",event=\"returned\"} 0",
             "zmk_records_total{station=\"bench-3\",kept=\"true\"} 3",
             "zmk_records_total{station=\"bench-3\",kept=\"false\"} 1",
             "zmk_run_seconds_bucket{station=\"bench-3\",le=\"2\"} 0",
             "zmk_run_seconds_bucket{station=\"bench-3\",le=\"5\"} 2",
             "zmk_run_seconds_bucket{station=\"bench-3\",le=\"30\"} 2",
             "zmk_run_seconds_bucket{station=\"bench-3\",le=\"60\"} 3",
             "zmk_run_seconds_bucket{station=\"bench-3\",le=\"300\"} 3",
             "zmk_run_seconds_bucket{station=\"bench-3\",le=\"+Inf\"} 4",
             "zmk_run_seconds_sum{station=\"bench-3\"} 440.2",
             "zmk_run_seconds_count{station=\"bench-3\"} 4",
             "zmk_running_devices{station=\"bench-3\"} 2",
             "zmk_held_bays{station=\"bench-3\"} 1",
             "zmk_starting{station=\"bench-3\"} 0",
             "# TYPE zmk_run_seconds histogram",
             "# TYPE zmk_devices_total counter",
         })
        EXPECT_TRUE(has(text, line)) << line << "\n" << text;
    EXPECT_TRUE(has(metrics_text(m, 0, 0, true), "zmk_starting{station=\"bench-3\"} 1"));
    metrics_free(m);
}

TEST(Metrics, LabelValuesAreEscapedAndKeptUtf8)
{
    EXPECT_EQ(metrics_label("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
    EXPECT_EQ(metrics_label("bay \xC3\xA9 \xE2\x82\xAC"), "bay \xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(metrics_label("x\xFFy\xC3"), "x\xEF\xBF\xBDy\xEF\xBF\xBD");
    EXPECT_EQ(metrics_label("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"); // surrogate
    metrics *m = metrics_new("line \"A\"\\2");
    metrics_end(m, "/dev/tty\nUSB0", "ok", 1, "used", true);
    EXPECT_TRUE(has(metrics_text(m, 0, 0, true),
                    "zmk_slot_devices_total{station=\"line \\\"A\\\"\\\\2\",slot=\"/dev/"
                    "tty\\nUSB0\",result=\"ok\"} 1"))
        << metrics_text(m, 0, 0, true);
    metrics_free(m);
}

// promtool reads the text as a scraper would, awkward names and all.
TEST(Metrics, PromtoolTakesTheText)
{
    if (access("/usr/bin/promtool", X_OK) != 0)
        GTEST_SKIP() << "no /usr/bin/promtool";
    metrics *m = metrics_new("st\"a\\tion\n\xFF");
    const std::string empty = metrics_text(m, 0, 0, true);
    metrics_end(m, "bay {1}, \"left\"", "erase-timeout", 12.5, "spoiled", false);
    metrics_end(m, "bay=2\\", "ok", 2, "used", true);
    const std::string full = metrics_text(m, 1, 0, true);
    metrics_free(m);
    for (const std::string &text : {empty, full}) {
        const std::string path = testing::TempDir() + "metrics.txt";
        std::ofstream(path) << text;
        FILE *p = popen(("/usr/bin/promtool check metrics < " + path + " 2>&1").c_str(), "r");
        ASSERT_TRUE(p);
        std::string said;
        for (char buf[256]; std::fgets(buf, sizeof buf, p);)
            said += buf;
        EXPECT_EQ(pclose(p), 0) << said << text;
    }
}
