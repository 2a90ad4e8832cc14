// SPDX-License-Identifier: GPL-2.0-or-later
// What a stream's decoded audio sounds like in three figures: its RMS level
// in dBov, the share of its 20 ms frames that are silent, and the share of
// its samples that clip. Samples are 16-bit, 8000 a second; dBov is relative
// to 16-bit full scale, so a square wave at -32768/+32767 is 0 dBov and a
// full-scale sine -3 dBov (ITU-T G.100.1). No host dependency.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrune {

struct LevelFigures {
    double level_dbov;  // kSilenceFloorDbov for digital silence
    double silent_percent;
    double clipped_percent;
};

// The level printed for digital silence (and anything quieter), so that no
// table ever shows -inf.
constexpr double kSilenceFloorDbov = -99.0;

// The mean square (in 16-bit units squared) of a signal at a level in dBov:
// a frame whose mean square is below it is quieter than that level.
double mean_square_at(double dbov);

class AudioLevel {
public:
    // 20 ms at 8 kHz: the frame over which silence is judged, as a voice
    // activity detector would.
    static constexpr unsigned kFrameSamples = 160;

    // Samples in the order they are played. A sample clips when its
    // magnitude reaches clip_at, the largest the codec can give. A frame is
    // silent when its mean square is below silent_below (mean_square_at()).
    void add(const std::int16_t* samples, std::size_t count, unsigned clip_at, double silent_below);

    bool known() const { return samples_ != 0; }
    // Only when known(). A last frame shorter than 20 ms counts as a frame,
    // judged by its own samples.
    LevelFigures figures(double silent_below) const;
    // figures().silent_percent alone, without the level's logarithm.
    double silent_percent(double silent_below) const;

private:
    void end_frame(double silent_below);

    std::uint64_t sum_squares_ = 0;
    std::uint64_t samples_ = 0;
    std::uint64_t clipped_ = 0;
    std::uint64_t frame_sum_squares_ = 0;
    std::uint32_t frames_ = 0;
    std::uint32_t silent_frames_ = 0;
    std::uint32_t frame_samples_ = 0;
};

}  // namespace kestrune
