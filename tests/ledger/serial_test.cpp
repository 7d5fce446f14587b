// Serial numbers: their bytes in each format, and the plans refused before
// any device is touched.
#include "app/ledger/serial.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace {

std::string encoded(const char *format, uint64_t value)
{
    serial_format f{};
    if (!serial_parse_format(format, &f))
        return "bad format";
    uint8_t bytes[32];
    return serial_encode(f, value, bytes) ? serial_hex(bytes, f.width) : "does not fit";
}

std::string refusal(serial_settings opt, uint32_t image_size = 1024, bool db = true)
{
    serial_plan plan;
    std::string why;
    const line_status s = serial_plan_make(opt, db, image_size, &plan, &why);
    EXPECT_EQ(s == LINE_OK, why.empty()) << why;
    return why;
}

serial_settings with_range()
{
    serial_settings o;
    o.at = "0x100";
    o.start = "1000";
    return o;
}

} // namespace

TEST(Serial, EachFormatsBytesAndWhatDoesNotFit)
{
    EXPECT_EQ(encoded("u32le", 0x01020304), "04030201");
    EXPECT_EQ(encoded("u32be", 0x01020304), "01020304");
    EXPECT_EQ(encoded("u64le", 0x0102030405060708), "0807060504030201");
    EXPECT_EQ(encoded("u64be", 0x0102030405060708), "0102030405060708");
    EXPECT_EQ(encoded("ascii:6", 1042), "303031303432"); // "001042"
    EXPECT_EQ(encoded("u32le", 0xffffffff), "ffffffff");
    EXPECT_EQ(encoded("u32le", 0x100000000), "does not fit");
    EXPECT_EQ(encoded("ascii:3", 1000), "does not fit");
    EXPECT_EQ(encoded("u64le", SERIAL_MAX + 1), "does not fit"); // beyond what a database keeps
    for (const char *bad : {"u16le", "ascii:0", "ascii:21", "ascii:", "U32LE", "ascii:x"})
        EXPECT_EQ(encoded(bad, 1), "bad format") << bad;

    uint64_t v = 0;
    EXPECT_TRUE(serial_parse_number("0x7B", &v) && v == 123);
    EXPECT_TRUE(serial_parse_number("18446744073709551615", &v) && v == UINT64_MAX);
    for (const char *bad : {"", "0x", "-1", "+1", "12a", " 1", "18446744073709551616"})
        EXPECT_FALSE(serial_parse_number(bad, &v)) << bad;
}

TEST(Serial, PlansRefusedWithTheirReason)
{
    EXPECT_EQ(refusal(with_range()), "");
    serial_plan plan;
    std::string why;
    ASSERT_EQ(serial_plan_make(with_range(), true, 1024, &plan, &why), LINE_OK) << why;
    EXPECT_TRUE(plan.given && plan.at == 0x100 && plan.start == 1000 && plan.step == 1);
    EXPECT_EQ(plan.last, 0xffffffffu) << "a range without an end ends where its format does";

    serial_settings o = with_range();
    EXPECT_NE(refusal(o, 0x103).find("do not fit in the image"), std::string::npos);
    o.at = "0x2000";
    EXPECT_NE(refusal(o).find("do not fit in the image"), std::string::npos);
    o = with_range();
    EXPECT_NE(refusal(o, 1024, false).find("need --db"), std::string::npos);
    // A new pool needs its whole definition; a pool that is there brings its own.
    o = with_range();
    o.new_pool = true;
    o.start.clear();
    EXPECT_NE(refusal(o).find("--new-pool needs the pool's whole definition"), std::string::npos);
    o = with_range();
    o.new_pool = true;
    o.at.clear();
    EXPECT_NE(refusal(o).find("--new-pool needs the pool's whole definition"), std::string::npos);
    o = serial_settings{};
    o.pool = "sensor";
    EXPECT_EQ(refusal(o), "");
    o = with_range();
    o.format = "ascii:3";
    EXPECT_NE(refusal(o).find("does not fit"), std::string::npos);
    o = with_range();
    o.end = "999";
    EXPECT_NE(refusal(o).find("used up before it starts"), std::string::npos);
    o = with_range();
    o.list = "serials.txt";
    EXPECT_NE(refusal(o).find("not both"), std::string::npos);
    o = with_range();
    o.step = std::string(1, '0'); // a literal trips GCC 12's -Wrestrict here
    EXPECT_NE(refusal(o).find("1 or more"), std::string::npos);
}

TEST(Serial, ListFilesAreReadWholeOrRefused)
{
    const std::string path = ::testing::TempDir() + "zmk-serials.txt";
    serial_settings o = with_range();
    o.start.clear();
    o.list = path;
    std::ofstream(path) << "# batch 7\n1001\r\n0x3ea\n\n1003\n";
    serial_plan plan;
    std::string why;
    ASSERT_EQ(serial_plan_make(o, true, 1024, &plan, &why), LINE_OK) << why;
    EXPECT_EQ(plan.values, (std::vector<uint64_t>{1001, 1002, 1003}));

    const struct {
        const char *text, *why;
    } bad[] = {{"1\n2\n1\n", "line 3: 1 is listed twice"},
               {"1\nten\n", "line 2: 'ten' is not a serial number"},
               {"\xef\xbb\xbf" "5\n-5\n", "line 2: '-5' is not a serial number"},
               {"4294967296\n", "does not fit"},
               {"# nothing\n", "holds no number"}};
    for (const auto &b : bad) {
        std::ofstream(path) << b.text;
        EXPECT_NE(refusal(o).find(b.why), std::string::npos) << b.text << refusal(o);
    }
    std::remove(path.c_str());
}
