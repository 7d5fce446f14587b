// The station's counts as a scraper reads them: each series by its labels,
// the histogram's cumulative buckets, and labels that hold anything, as
// Prometheus's own checker takes them.
#include "app/page/metrics.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

TEST(Metrics, CountsByResultSlotSerialAndRecordAndTheRunAndReplyTimes)
{
    metrics *m = metrics_new("b3");
    metrics_end(m, "bay-1", "ok", 4.2, "used", true, 16.3);
    metrics_end(m, "bay-1", "ok", 5, "used", true, 2);      // on a bound: counted at or below it
    metrics_end(m, "bay-2", "silent", 31, "spoiled", true); // no reply timed: not counted
    metrics_end(m, "bay-2", "ok", 400, "", false, 0.4);     // no number; its record not kept
    const std::string text = metrics_text(m, 2, 1, false);
    for (const char *line :
         {"zmk_devices_total{station=\"b3\",result=\"ok\"} 3",
          "zmk_slot_devices_total{station=\"b3\",slot=\"bay-2\",result=\"silent\"} 1",
          "zmk_serial_numbers_total{station=\"b3\",event=\"used\"} 2",
          "zmk_serial_numbers_total{station=\"b3\",event=\"returned\"} 0",
          "zmk_records_total{station=\"b3\",kept=\"false\"} 1",
          "zmk_run_seconds_bucket{station=\"b3\",le=\"5\"} 2",
          "zmk_run_seconds_bucket{station=\"b3\",le=\"300\"} 3",
          "zmk_run_seconds_bucket{station=\"b3\",le=\"+Inf\"} 4",
          "zmk_run_seconds_sum{station=\"b3\"} 440.2", "zmk_run_seconds_count{station=\"b3\"} 4",
          "zmk_reply_seconds_bucket{station=\"b3\",le=\"0.002\"} 2",
          "zmk_reply_seconds_bucket{station=\"b3\",le=\"0.012\"} 2",
          "zmk_reply_seconds_bucket{station=\"b3\",le=\"0.02\"} 3",
          "zmk_reply_seconds_count{station=\"b3\"} 3", "zmk_running_devices{station=\"b3\"} 2",
          "zmk_held_bays{station=\"b3\"} 1", "zmk_starting{station=\"b3\"} 0"})
        EXPECT_NE(text.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << text;
    metrics_free(m);
}

TEST(Metrics, LabelsHoldAnythingAndPromtoolTakesThem)
{
    EXPECT_EQ(metrics_label("a\"b\\c\nd \xC3\xA9"), "a\\\"b\\\\c\\nd \xC3\xA9");
    EXPECT_EQ(metrics_label("x\xFFy\xC3"), "x\xEF\xBF\xBDy\xEF\xBF\xBD");
    EXPECT_EQ(metrics_label("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"); // surrogate
    metrics *m = metrics_new("st\"a\\tion\n\xFF");
    const std::string empty = metrics_text(m, 0, 0, true);
    metrics_end(m, "bay {1}, \"left\"", "erase-timeout", 12.5, "spoiled", false, 16.3);
    const std::string full = metrics_text(m, 1, 0, true);
    metrics_free(m);
    EXPECT_NE(full.find("{station=\"st\\\"a\\\\tion\\n\xEF\xBF\xBD\",slot=\"bay {1}, "
                        "\\\"left\\\"\",result=\"erase-timeout\"} 1\n"),
              std::string::npos)
        << full;
#ifdef _WIN32
    GTEST_SKIP() << "promtool is checked on Linux";
#endif
    if (access("/usr/bin/promtool", X_OK) != 0)
        GTEST_SKIP() << "no /usr/bin/promtool";
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
