// SPDX-License-Identifier: GPL-2.0-or-later
#include "g711_sound.h"

#include <algorithm>
#include <cmath>

namespace make_capture {
namespace {

constexpr double kPi = 3.14159265358979323846;

// The first segment whose end is at or above value, or 8 when none is.
int segment(int value, const int (&ends)[8]) {
    for (int s = 0; s < 8; ++s) {
        if (value <= ends[s]) {
            return s;
        }
    }
    return 8;
}

// Sample n of a 1 kHz sine at 8 kHz, peak amplitude given, a quarter of
// a sample's phase off zero so that no sample falls on a zero crossing.
double sine(std::uint64_t n, double amplitude) {
    return amplitude * std::sin((2 * kPi * static_cast<double>(n % 8) / 8) + (kPi / 8));
}

}  // namespace

std::uint8_t linear_to_alaw(int sample) {
    static const int ends[8] = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};
    int value = sample >> 3;
    int mask = 0xD5;
    if (value < 0) {
        mask = 0x55;
        value = -value - 1;
    }
    const int seg = segment(value, ends);
    if (seg >= 8) {
        return static_cast<std::uint8_t>(0x7F ^ mask);
    }
    const int quantised = seg < 2 ? (value >> 1) & 0xF : (value >> seg) & 0xF;
    return static_cast<std::uint8_t>(((seg << 4) | quantised) ^ mask);
}

std::uint8_t linear_to_ulaw(int sample) {
    static const int ends[8] = {0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF};
    constexpr int kClip = 8159;
    constexpr int kBias = 0x84 >> 2;
    int value = sample >> 2;
    int mask = 0xFF;
    if (value < 0) {
        mask = 0x7F;
        value = -value;
    }
    value = (value > kClip ? kClip : value) + kBias;
    const int seg = segment(value, ends);
    if (seg >= 8) {
        return static_cast<std::uint8_t>(0x7F ^ mask);
    }
    return static_cast<std::uint8_t>(((seg << 4) | ((value >> (seg + 1)) & 0xF)) ^ mask);
}

void write_g711(std::uint8_t* payload, unsigned count, std::uint64_t first, Sound sound,
                double tone_dbov, bool alaw) {
    const double full_scale = 32768;
    const double amplitude = sound == Sound::clipping
                                 ? 2 * full_scale
                                 : full_scale * std::sqrt(2.0) * std::pow(10.0, tone_dbov / 20);
    for (unsigned i = 0; i < count; ++i) {
        const double x = sound == Sound::silence ? 0 : sine(first + i, amplitude);
        const int sample = static_cast<int>(std::lround(std::clamp(x, -32768.0, 32767.0)));
        payload[i] = alaw ? linear_to_alaw(sample) : linear_to_ulaw(sample);
    }
}

}  // namespace make_capture
