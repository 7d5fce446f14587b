#include "app/frontend.h"
#include "app/zmk.h"
#include "platform/resource.h"
#include "tests/app/fake_port.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct seen_t {
    std::string console, box, caption, status;
    std::vector<uint32_t> tones;
    int exit_status = -1;
} seen;

struct exited {};

class Flasher : public ::testing::Test {
protected:
    void SetUp() override
    {
        seen = {};
        fake_port = {};
        static constexpr zmk_frontend fe{
            [](const char *text, const char *caption) { seen.box = text, seen.caption = caption; },
            [](uint32_t hz, uint32_t ms) { seen.tones.insert(seen.tones.end(), {hz, ms}); },
            [](const char *text) { return seen.status = text, 1; },
            [](const char *text) { seen.console += text; },
            [](void *, const lprog_progress *, const char *) {},
            nullptr,
            [](int status) { seen.exit_status = status, throw exited{}; }};
        frontend_set(&fe);
    }
    void TearDown() override { frontend_set(nullptr); }

    flasher_t run{0, "com3", nullptr, 115200, 256, 0};
};

const std::string header = "\n\nAn Error has occurred as follows:\n          boom\n";
const std::string closing = "\n\n The program will now abort\n\n\n";

} // namespace

// Opened contexts live in static storage, as the program's own does: a run
// is never torn down.
TEST_F(Flasher, OpensOnceWithTheEmbeddedImage)
{
    flasher = run;
    EXPECT_EQ(flasher_open(&flasher), 0);
    EXPECT_EQ(seen.console, " . Opening serial port com3 at 115200 baud\n\nFlash Image Size ed80\n");
    EXPECT_EQ(flasher.opened, 1);
    EXPECT_EQ(flasher.address, 0u);
    uint32_t size = 0;
    const uint8_t *embedded = resource_find("BinFile", &size);
    ASSERT_EQ(size, 60800u);
    EXPECT_NE(flasher.filebuf, embedded);
    EXPECT_EQ(std::memcmp(flasher.filebuf, embedded, size), 0);

    const int calls = fake_port.calls;
    EXPECT_EQ(flasher_step(&flasher), 0); // the fake never answers
    EXPECT_GT(fake_port.calls, calls);

    // A second open changes nothing.
    const std::string console = seen.console;
    const flasher_t before = flasher;
    EXPECT_EQ(flasher_open(&flasher), 0);
    EXPECT_EQ(seen.console, console);
    EXPECT_EQ(fake_port.opens, 1);
    EXPECT_EQ(std::memcmp(&before, &flasher, sizeof flasher), 0);
}

TEST_F(Flasher, SmallImagesGoToTheTopOfFlash)
{
    static uint8_t image[256];
    static flasher_t runs[3];
    int i = 0;
    for (uint32_t size : {1u, 255u, 256u}) {
        flasher_t &t = runs[i++];
        t = {0, "com3", nullptr, 115200, 256, 0x4000};
        t.image_override = image;
        t.image_override_size = size;
        flasher_open(&t);
        EXPECT_EQ(t.address, size <= 255 ? 0x1FF000u : 0x4000u) << size;
    }
}

TEST_F(Flasher, StepBeforeOpenTouchesNothing)
{
    EXPECT_EQ(flasher_step(&run), 0);
    EXPECT_EQ(fake_port.calls + fake_port.opens, 0);
}

TEST_F(Flasher, FatalErrorText)
{
    EXPECT_THROW(fatal_error("boom"), exited);
    EXPECT_EQ(seen.box, header + closing);
    EXPECT_EQ(seen.caption, "Terminate Program");
    EXPECT_EQ(seen.tones, (std::vector<uint32_t>{200, 1000}));
    EXPECT_EQ(seen.exit_status, 1);

    fake_port.last_error = 5;
    EXPECT_THROW(fatal_error("boom"), exited);
    EXPECT_EQ(seen.box, header + "Error number 5 reported\n" + fake_port.error_text + closing);

    // A description that fills the buffer is cut; the closing text stays.
    fake_port.error_text.assign(1500, 'x');
    EXPECT_THROW(fatal_error("boom"), exited);
    EXPECT_EQ(seen.box.size(), 999u);
    EXPECT_EQ(seen.box.substr(999 - closing.size()), closing);
    EXPECT_EQ(seen.box.substr(header.size(), 24), "Error number 5 reported\n");
}

TEST_F(Flasher, PortThatWillNotOpenIsFatal)
{
    run.port_name = "missing";
    EXPECT_THROW(flasher_open(&run), exited);
    EXPECT_NE(seen.box.find("          Unable to open serial port. In use already, or not present\n"
                            "Error number 2 reported\n"),
              std::string::npos);
    EXPECT_EQ(run.opened, 0);
    EXPECT_EQ(flasher_step(&run), 0);
}

TEST_F(Flasher, StatusLineIsCutAt127)
{
    set_status("%s", std::string(300, 's').c_str());
    EXPECT_EQ(seen.status, std::string(127, 's'));
    set_status("%s", "Done");
    EXPECT_STREQ(status_text, "Done");
}

TEST_F(Flasher, EmptyImageIsAnInvariantBreak)
{
    static const uint8_t none[1] = {};
    run.image_override = none;
    run.image_override_size = 0;
    EXPECT_DEATH(flasher_open(&run), "Assertion failed: length, file app/zmk.cpp, line ");
}
