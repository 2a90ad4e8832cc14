// SPDX-License-Identifier: GPL-2.0-or-later
#include "audio_level.h"

#include <algorithm>
#include <cmath>

namespace kestrune {
namespace {

constexpr double kFullScale = 32768.0;

// Sums of squares are exact in 64 bits: a sample's square is at most 2^30,
// so a stream would need 2^34 samples (600 hours) to overflow one.
std::uint64_t square(std::int32_t s) {
    const auto magnitude = static_cast<std::uint64_t>(s < 0 ? -s : s);
    return magnitude * magnitude;
}

double percent(std::uint64_t part, std::uint64_t whole) {
    return 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

// The rule for a frame: silent when its mean square is below the threshold.
bool silent_frame(std::uint64_t sum_squares, std::uint32_t samples, double silent_below) {
    return static_cast<double>(sum_squares) / samples < silent_below;
}

}  // namespace

double mean_square_at(double dbov) {
    const double rms = kFullScale * std::pow(10.0, dbov / 20);
    return rms * rms;
}

void AudioLevel::add(const std::int16_t* samples, std::size_t count, unsigned clip_at,
                     double silent_below) {
    const auto clip = static_cast<std::int32_t>(clip_at);
    std::size_t i = 0;
    while (i < count) {
        // The rest of the frame, or of the samples, whichever ends first.
        const std::size_t n = std::min<std::size_t>(count - i, kFrameSamples - frame_samples_);
        std::uint64_t sum = 0;
        std::uint64_t clipped = 0;
        for (std::size_t k = i; k < i + n; ++k) {
            const std::int32_t s = samples[k];
            sum += square(s);
            clipped += (s >= clip || -s >= clip) ? 1 : 0;
        }
        sum_squares_ += sum;
        clipped_ += clipped;
        samples_ += n;
        frame_sum_squares_ += sum;
        frame_samples_ += static_cast<std::uint32_t>(n);
        i += n;
        if (frame_samples_ == kFrameSamples) {
            end_frame(silent_below);
        }
    }
}

void AudioLevel::end_frame(double silent_below) {
    silent_frames_ += silent_frame(frame_sum_squares_, frame_samples_, silent_below) ? 1 : 0;
    ++frames_;
    frame_sum_squares_ = 0;
    frame_samples_ = 0;
}

double AudioLevel::silent_percent(double silent_below) const {
    std::uint32_t frames = frames_;
    std::uint32_t silent = silent_frames_;
    if (frame_samples_ != 0) {
        ++frames;
        silent += silent_frame(frame_sum_squares_, frame_samples_, silent_below) ? 1 : 0;
    }
    return percent(silent, frames);
}

LevelFigures AudioLevel::figures(double silent_below) const {
    const double mean = static_cast<double>(sum_squares_) / static_cast<double>(samples_);
    const double level =
        mean > 0 ? 10 * std::log10(mean / (kFullScale * kFullScale)) : kSilenceFloorDbov;
    return {std::max(level, kSilenceFloorDbov), silent_percent(silent_below),
            percent(clipped_, samples_)};
}

}  // namespace kestrune
