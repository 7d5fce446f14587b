#include "app/qt/tone.h"

#include <pulse/simple.h>

#include <algorithm>
#include <cmath>
#include <numbers>

std::vector<int16_t> tone_samples(uint32_t hz, uint32_t ms, uint32_t rate)
{
    const size_t n = size_t(rate) * ms / 1000;
    // 5 ms of fade, but never more than a quarter of a short tone.
    const size_t fade = std::min<size_t>(rate / 200, n / 4);
    const double step = 2 * std::numbers::pi * hz / rate;
    std::vector<int16_t> out(n);
    for (size_t i = 0; i < n; ++i) {
        const size_t edge = std::min(i, n - 1 - i);
        const double gain = edge < fade ? double(edge) / double(fade) : 1.0;
        out[i] = int16_t(std::lround(16000 * gain * std::sin(step * double(i))));
    }
    return out;
}

bool tone_play(uint32_t hz, uint32_t ms)
{
    const pa_sample_spec format{PA_SAMPLE_S16NE, TONE_RATE, 1};
    // A short buffer: with the server's default of two seconds the tone
    // starts, and the drain below returns, a second or more late.
    pa_buffer_attr buffer;
    buffer.maxlength = buffer.minreq = buffer.prebuf = buffer.fragsize = uint32_t(-1);
    buffer.tlength = uint32_t(pa_usec_to_bytes(50 * 1000, &format));
    int err = 0;
    pa_simple *s = pa_simple_new(nullptr, "zmk", PA_STREAM_PLAYBACK, nullptr, "tone", &format,
                                 nullptr, &buffer, &err);
    if (!s)
        return false;
    const std::vector<int16_t> samples = tone_samples(hz, ms);
    // Drained, so that the caller goes on only after the tone, as with a
    // blocking beep.
    const bool ok =
        pa_simple_write(s, samples.data(), samples.size() * sizeof samples[0], &err) == 0 &&
        pa_simple_drain(s, &err) == 0;
    pa_simple_free(s);
    return ok;
}
