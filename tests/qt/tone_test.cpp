// The dialog's tones as samples, so no sound card is needed: pitch, length
// and quiet ends; and the answer when no sound server is there.
#include "app/qt/tone.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace {

// Rising zero crossings per second.
double frequency(const std::vector<int16_t> &s, uint32_t rate)
{
    int rising = 0;
    for (size_t i = 1; i < s.size(); ++i)
        rising += s[i - 1] < 0 && s[i] >= 0;
    return rising * double(rate) / double(s.size());
}

} // namespace

TEST(Tone, SamplesHaveTheDesignedPitchLengthAndQuietEnds)
{
    struct {
        uint32_t hz, ms, rate;
    } cases[] = {{2000, 100, TONE_RATE}, {200, 1000, TONE_RATE}, {2000, 100, 8000}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.hz << " Hz, " << c.ms << " ms at " << c.rate);
        const std::vector<int16_t> s = tone_samples(c.hz, c.ms, c.rate);
        EXPECT_EQ(s.size(), size_t(c.rate) * c.ms / 1000);
        EXPECT_NEAR(frequency(s, c.rate), c.hz, c.hz * 0.02);
        int16_t peak = 0;
        for (int16_t v : s)
            peak = std::max<int16_t>(peak, std::abs(v));
        EXPECT_GT(peak, 8000) << "audible";
        // Fading in and out: no step from silence to full swing at either end.
        EXPECT_LT(std::abs(s.front()), 100);
        EXPECT_LT(std::abs(s.back()), 100);
        EXPECT_LT(std::abs(s[1] - s[0]), peak / 4);
    }
    EXPECT_TRUE(tone_samples(2000, 0).empty());
}

TEST(Tone, WithoutASoundServerPlayingFailsAtOnce)
{
    setenv("PULSE_SERVER", "unix:/nonexistent/zmk-no-server", 1);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(tone_play(200, 1000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
}
