// The engine over an in-memory port that never answers, with the front end
// replaced by recorders; the image is the real embedded resource.
#include "app/frontend.h"
#include "app/zmk.h"
#include "platform/port_error.h"
#include "platform/resource.h"
#include "tests/support/mem_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#endif

namespace {

struct {
    int opens = 0;
    mem_port port;
    std::string console, box, caption, status;
    std::vector<uint32_t> tones;
    std::vector<zmk_event_kind> events;
    int exit_status = -1;
} seen;

struct exited {};

void set_system_error(uint32_t code)
{
#ifdef _WIN32
    SetLastError(code);
#else
    errno = int(code);
#endif
}

// "missing" fails as a missing port does; any other name opens the port in memory.
port_handle open_in_memory(const char *name)
{
    ++seen.opens;
    if (std::strcmp(name, "missing") == 0) {
        set_system_error(2);
        return nullptr;
    }
    mem_port_init(&seen.port);
    return &seen.port;
}

class Flasher : public ::testing::Test {
  protected:
    void SetUp() override
    {
        seen.opens = 0;
        seen.console = seen.box = seen.caption = seen.status = "";
        seen.tones.clear();
        seen.events.clear();
        port_set_opener(open_in_memory);
        static constexpr zmk_frontend fe{
            [](const char *text, const char *caption) { seen.box = text, seen.caption = caption; },
            [](uint32_t hz, uint32_t ms) {
                seen.tones.insert(seen.tones.end(), {hz, ms});
            },
            [](const char *text) { return seen.status = text, 1; },
            [](const char *text) { seen.console += text; },
            [](void *, const zmk_event *e) { seen.events.push_back(e->kind); },
            nullptr,
            [](int status) { seen.exit_status = status, throw exited{}; }};
        frontend_set(&fe);
    }
    void TearDown() override
    {
        frontend_set(nullptr);
        port_set_opener(nullptr);
    }

    flasher_t run{0, "com3", nullptr, 115200, 256, 0};
};

} // namespace

// Opened contexts live in static storage, as the program's own does: a run
// is never torn down.
TEST_F(Flasher, OpensOnceWithTheEmbeddedImage)
{
    EXPECT_EQ(flasher_step(&run), 0);
    EXPECT_EQ(seen.opens, 0); // nothing before the open

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
    const int calls = seen.port.calls;
    EXPECT_EQ(flasher_step(&flasher), 0);
    EXPECT_GT(seen.port.calls, calls);
    // Every exchange tells what went out and what came back (here: nothing).
    EXPECT_EQ(seen.events, (std::vector<zmk_event_kind>{ZMK_SENT, ZMK_ANSWER}));

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
    set_system_error(0);
    EXPECT_THROW(fatal_error("boom"), exited);
    EXPECT_EQ(seen.box, header + closing);
    EXPECT_EQ(seen.caption, "Terminate Program");
    EXPECT_EQ(seen.tones, (std::vector<uint32_t>{200, 1000}));
    EXPECT_EQ(seen.exit_status, 1);

    // The system's own last error at the failure tells: the port's, or a
    // window's that could not be made.
    set_system_error(5);
    EXPECT_THROW(fatal_error("boom"), exited);
    EXPECT_EQ(seen.box.rfind(header + "Error number 5 reported\n", 0), 0u) << seen.box;

    // Text that fills the buffer is cut; the closing text stays.
    EXPECT_THROW(fatal_error(std::string(1500, 'x').c_str()), exited);
    EXPECT_EQ(seen.box.size(), 999u);
    EXPECT_EQ(seen.box.substr(999 - closing.size()), closing);

    // A port that will not open is told to the caller, which decides.
    run.port_name = "missing";
    EXPECT_EQ(flasher_open(&run), PORT_ERR_MISSING);
    EXPECT_EQ(flasher_step(&run), 0);
}

// A run over a port that answers every command with "ACK" ends once: one
// tone, "Done" and one end event, however often the tick comes after.
TEST_F(Flasher, RunEndsOnceWithOneTone)
{
    static const uint8_t image[300] = {1};
    static const uint8_t ack[] = {0xC0, 'A', 'C', 'K', 0, 0x13, 0x45, 0xBD, 0x63, 0xC0};
    static flasher_t fresh;
    flasher_start(&fresh, "com7", image, sizeof image);
    EXPECT_EQ(seen.status, "Programming...");
    seen.port.on_write = [](void *, const uint8_t *, int) {
        mem_port_serve(&seen.port, ack, sizeof ack);
    };
    int ticks = 1;
    while (!flasher_tick(&fresh) && ticks < 100)
        ++ticks;
    EXPECT_EQ(ticks, 7); // ERASE, the poll, two chunks, the first again, RTC_SET, RESET
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(flasher_tick(&fresh), 1);
    EXPECT_EQ(seen.tones, (std::vector<uint32_t>{2000, 100}));
    EXPECT_EQ(seen.status, "Done");
    EXPECT_EQ(std::count(seen.events.begin(), seen.events.end(), ZMK_DONE), 1);
}
