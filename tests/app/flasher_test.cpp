// The flasher over an in-memory port that never answers, with the front end
// replaced by recorders; the image is the real embedded resource.
#include "app/frontend.h"
#include "app/zmk.h"
#include "platform/resource.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct {
    int opens = 0, calls = 0; // calls: every read, write and settings call
    uint32_t last_error = 0; // the system's
    uint32_t port_error = 0; // what the serial code last cached
    std::string error_text = "The system cannot find the file specified.\r\n";
    std::string console, box, caption, status;
    std::vector<uint32_t> tones;
    int exit_status = -1;
} seen;

struct exited {};

} // namespace

port_handle port_open(const char *name)
{
    ++seen.opens;
    seen.last_error = seen.port_error = std::strcmp(name, "missing") == 0 ? 2 : 0;
    return seen.last_error ? nullptr : reinterpret_cast<port_handle>(&seen);
}
void port_close(port_handle) {}
int port_write(port_handle, const void *, int n) { return ++seen.calls, n; }
int port_read(port_handle, void *, int) { return ++seen.calls, 0; }
int port_get_line(port_handle, port_line *) { return ++seen.calls, 0; }
int port_set_line(port_handle, const port_line *) { return ++seen.calls, 0; }
void port_line_make_raw(port_line *, uint32_t) {}
int port_get_timeouts(port_handle, port_timeouts *) { return ++seen.calls, 0; }
int port_set_timeouts(port_handle, const port_timeouts *) { return ++seen.calls, 0; }
int port_is_gone(port_handle) { return 0; }
uint32_t port_last_error() { return seen.port_error; }
uint32_t platform_last_error() { return seen.last_error; }
int port_error_text(uint32_t, char *dest, int size)
{
    const int n = int(seen.error_text.size());
    return n < size ? (std::memcpy(dest, seen.error_text.c_str(), size_t(n) + 1), n) : 0;
}

class Flasher : public ::testing::Test {
  protected:
    void SetUp() override
    {
        seen = {};
        static constexpr zmk_frontend fe{
            [](const char *text, const char *caption) { seen.box = text, seen.caption = caption; },
            [](uint32_t hz, uint32_t ms) {
                seen.tones.insert(seen.tones.end(), {hz, ms});
            },
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

// Opened contexts live in static storage, as the program's own does: a run
// is never torn down.
TEST_F(Flasher, OpensOnceWithTheEmbeddedImage)
{
    EXPECT_EQ(flasher_step(&run), 0);
    EXPECT_EQ(seen.calls + seen.opens, 0); // nothing before the open

    flasher = run;
    EXPECT_EQ(flasher_open(&flasher), 0);
    EXPECT_EQ(seen.console,
              " . Opening serial port com3 at 115200 baud\n\nFlash Image Size ed80\n");
    EXPECT_EQ(flasher.address, 0u);
    uint32_t size = 0;
    const uint8_t *embedded = resource_find("BinFile", &size);
    ASSERT_EQ(size, 60800u);
    EXPECT_NE(flasher.filebuf, embedded);
    EXPECT_EQ(std::memcmp(flasher.filebuf, embedded, size), 0);
    const int calls = seen.calls;
    EXPECT_EQ(flasher_step(&flasher), 0);
    EXPECT_GT(seen.calls, calls);

    const flasher_t before = flasher;
    const std::string console = seen.console;
    EXPECT_EQ(flasher_open(&flasher), 0); // a second open changes nothing
    EXPECT_EQ(seen.opens, 1);
    EXPECT_EQ(seen.console, console);
    EXPECT_EQ(std::memcmp(&before, &flasher, sizeof flasher), 0);
}

TEST_F(Flasher, SmallImagesGoToTheTopOfFlash)
{
    static uint8_t image[256];
    static flasher_t runs[3];
    for (int i = 0; i < 3; ++i) {
        const uint32_t size = 254u + uint32_t(i);
        runs[i] = {0,       "com3",  nullptr, 115200,  256,   0x4000,
                   nullptr, nullptr, nullptr, nullptr, image, size};
        flasher_open(&runs[i]);
        EXPECT_EQ(runs[i].address, size <= 255 ? 0x1FF000u : 0x4000u) << size;
    }
}

TEST_F(Flasher, FatalErrorText)
{
    const std::string header = "\n\nAn Error has occurred as follows:\n          boom\n";
    const std::string closing = "\n\n The program will now abort\n\n\n";
    // The system's last error tells, not a stale one of the serial code: a
    // window that could not be made has nothing to do with the port.
    seen.port_error = 87;
    EXPECT_THROW(fatal_error("boom"), exited);
    EXPECT_EQ(seen.box, header + closing);
    EXPECT_EQ(seen.caption, "Terminate Program");
    EXPECT_EQ(seen.tones, (std::vector<uint32_t>{200, 1000}));
    EXPECT_EQ(seen.exit_status, 1);

    seen.last_error = 5;
    EXPECT_THROW(fatal_error("boom"), exited);
    EXPECT_EQ(seen.box, header + "Error number 5 reported\n" + seen.error_text + closing);

    // A description that fills the buffer is cut; the closing text stays.
    seen.error_text.assign(1500, 'x');
    EXPECT_THROW(fatal_error("boom"), exited);
    EXPECT_EQ(seen.box.size(), 999u);
    EXPECT_EQ(seen.box.substr(999 - closing.size()), closing);

    run.port_name = "missing";
    EXPECT_THROW(flasher_open(&run), exited);
    EXPECT_NE(seen.box.find("          Unable to open serial port. In use already, or not present\n"
                            "Error number 2 reported\n"),
              std::string::npos);
    EXPECT_EQ(flasher_step(&run), 0);
}

TEST_F(Flasher, StatusLineIsCutAt127)
{
    set_status("%s", std::string(300, 's').c_str());
    EXPECT_EQ(seen.status, std::string(127, 's'));
}
