// Tones of a given pitch and length for the Qt dialog. The desktop's bell has
// neither, so the tone goes to the sound server as samples.
#pragma once

#include <cstdint>
#include <vector>

constexpr uint32_t TONE_RATE = 48000;

// `ms` milliseconds of a `hz` sine at `rate` samples a second, mono 16-bit,
// faded in and out over a few milliseconds so the speaker does not click.
std::vector<int16_t> tone_samples(uint32_t hz, uint32_t ms, uint32_t rate = TONE_RATE);

// Plays the tone through the sound server and returns once it has been
// heard; false when no server takes it (the caller rings the bell instead).
bool tone_play(uint32_t hz, uint32_t ms);
