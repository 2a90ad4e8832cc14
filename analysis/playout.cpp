// SPDX-License-Identifier: GPL-2.0-or-later
#include "playout.h"

#include <cmath>

namespace kestrune {

PacketDelay DelayTrack::observe(const StreamAnalysis& a, double arrival_ms) {
    const SequenceTracker& q = a.sequence();
    const std::int64_t extended = q.extended();
    if (a.packets() == 1) {
        *this = DelayTrack{};
        first_extended_ = extended;
        first_arrival_ms_ = arrival_ms;
    }
    PacketDelay out{false, 0, false, 0};
    if (!a.has_media_clock()) {
        return out;
    }
    if (!has_clock_) {
        // Where the first packet sits on the media clock, counting back
        // from this one at the clock's packet length.
        const double first_media_ms =
            a.media_time_ms() -
            (static_cast<double>(extended - first_extended_) * a.packet_length_ms());
        base_ms_ = first_arrival_ms_ - first_media_ms;
        has_clock_ = true;
    }
    out.has_delay = true;
    out.delay_ms = arrival_ms - a.media_time_ms() - base_ms_ - corrected_ms_;
    const bool duplicate = q.duplicates() != duplicates_;
    duplicates_ = q.duplicates();
    // Only a packet that advances the stream is held against the one
    // before: a reordered or repeated one is late by its own account.
    if (duplicate || extended != q.highest_extended()) {
        return out;
    }
    if (has_previous_ && std::fabs(out.delay_ms - previous_ms_) > kJumpMs) {
        out.jump = true;
        out.jump_ms = out.delay_ms - previous_ms_;
        corrected_ms_ += out.jump_ms;
        out.delay_ms = previous_ms_;
        ++jumps_;
    }
    has_previous_ = true;
    previous_ms_ = out.delay_ms;
    return out;
}

}  // namespace kestrune
