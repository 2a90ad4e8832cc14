// SPDX-License-Identifier: GPL-2.0-or-later
// Level, silence and clipping of sample buffers whose figures are worked by
// hand: 8 kHz samples, 20 ms (160-sample) frames, a -55 dBov threshold.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "analysis/audio_level.h"

namespace kestrune {
namespace {

constexpr unsigned kFullScale = 32767;
const double kSilentBelow = mean_square_at(-55);

// A 1 kHz sine: 8 samples a period, a quarter sample off the zero crossings.
std::vector<std::int16_t> sine(unsigned count, double peak) {
    std::vector<std::int16_t> s(count);
    for (unsigned n = 0; n < count; ++n) {
        s[n] = static_cast<std::int16_t>(
            std::lround(peak * std::sin((M_PI / 4 * (n % 8)) + (M_PI / 8))));
    }
    return s;
}

// +32767 and -32768 in turns of 4 samples: a full-scale square wave.
std::vector<std::int16_t> square(unsigned count) {
    std::vector<std::int16_t> s(count);
    for (unsigned n = 0; n < count; ++n) {
        s[n] = static_cast<std::int16_t>((n / 4) % 2 == 0 ? 32767 : -32768);
    }
    return s;
}

LevelFigures figures_of(const std::vector<std::int16_t>& s, unsigned clip_at = kFullScale) {
    AudioLevel level;
    level.add(s.data(), s.size(), clip_at, kSilentBelow);
    return level.figures(kSilentBelow);
}

TEST(AudioLevel, SilenceSineAndSquare) {
    const LevelFigures silence = figures_of(std::vector<std::int16_t>(480, 0));
    EXPECT_EQ(silence.level_dbov, kSilenceFloorDbov);  // not -inf
    EXPECT_EQ(silence.silent_percent, 100);
    EXPECT_EQ(silence.clipped_percent, 0);

    // RMS = peak / sqrt(2) = 32768 * 10^(-20/20): -20 dBov, as loud as speech.
    const LevelFigures speech = figures_of(sine(1600, 32768 * std::sqrt(2.0) / 10));
    EXPECT_NEAR(speech.level_dbov, -20, 0.001);
    EXPECT_EQ(speech.silent_percent, 0);
    EXPECT_EQ(speech.clipped_percent, 0);

    // Mean square (32767^2 + 32768^2) / 2: 0 dBov to within 0.0002 dB, and
    // every sample at full scale.
    const LevelFigures hot = figures_of(square(320));
    EXPECT_NEAR(hot.level_dbov, 0, 0.0002);
    EXPECT_EQ(hot.clipped_percent, 100);
    EXPECT_EQ(hot.silent_percent, 0);
}

TEST(AudioLevel, MixOfFramesAcrossCalls) {
    // One frame of silence, one of full-scale square, and half a frame of a
    // -20 dBov sine at the end, in pieces that straddle the frames.
    const std::vector<std::int16_t> quiet(160, 0);
    const std::vector<std::int16_t> hot = square(160);
    const std::vector<std::int16_t> speech = sine(80, 32768 * std::sqrt(2.0) / 10);
    std::vector<std::int16_t> all = quiet;
    all.insert(all.end(), hot.begin(), hot.end());
    all.insert(all.end(), speech.begin(), speech.end());
    AudioLevel level;
    for (std::size_t at = 0; at < all.size(); at += 70) {
        level.add(all.data() + at, std::min<std::size_t>(70, all.size() - at), kFullScale,
                  kSilentBelow);
    }
    const LevelFigures f = level.figures(kSilentBelow);
    // Three frames, the last one short; only the first is silent.
    EXPECT_NEAR(f.silent_percent, 100.0 / 3, 1e-9);
    // 160 of 400 samples at full scale.
    EXPECT_NEAR(f.clipped_percent, 40, 1e-9);
    // Mean square (160 * ~2^30 + 80 * 2^30 / 100) / 400 of 2^30:
    // 10 log10(0.402) = -3.958 dBov.
    EXPECT_NEAR(f.level_dbov, 10 * std::log10(0.402), 0.001);
}

TEST(AudioLevel, ClippingAtTheCodecsLoudestSample) {
    // G.711 mu-law's highest code decodes to 32124: a sample there clips, one
    // below does not, whatever its sign.
    const std::vector<std::int16_t> s = {32124, -32124, 32123, -32123, 0};
    EXPECT_NEAR(figures_of(s, 32124).clipped_percent, 40, 1e-9);
    EXPECT_NEAR(figures_of(s, kFullScale).clipped_percent, 0, 1e-9);
}

TEST(AudioLevel, SilenceThreshold) {
    // A frame at -54 dBov is sound, one at -56 dBov silence.
    const double peak = 32768 * std::sqrt(2.0);
    EXPECT_EQ(figures_of(sine(160, peak * std::pow(10, -54.0 / 20))).silent_percent, 0);
    EXPECT_EQ(figures_of(sine(160, peak * std::pow(10, -56.0 / 20))).silent_percent, 100);
}

}  // namespace
}  // namespace kestrune
