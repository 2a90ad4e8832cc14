// SPDX-License-Identifier: GPL-2.0-or-later
#include "fixed_receiver.h"

#include <algorithm>
#include <cmath>

namespace kestrune {

void FixedReceiver::forget_runs() {
    late_run_ = early_run_ = block_count_ = 0;
}

void FixedReceiver::move(double ms, const StreamAnalysis& a, const PacketDelay& d,
                         SlotOutcome& out) {
    if (ms < 0) {
        // The audio the clock skips adds up until it makes a whole packet,
        // which is dropped: the slot playing now (the one whose due time
        // this arrival reached) and those after it.
        const double length = a.packet_length_ms();
        skipped_ms_ += -ms;
        const double whole = std::floor(skipped_ms_ / length);
        skipped_ms_ -= whole * length;
        const double ahead = std::clamp((d.delay_ms - base_ms_ - buffer_ms_) / length, -1e6, 1e6);
        out.discard_from = a.sequence().extended() + static_cast<std::int64_t>(std::ceil(ahead));
        out.discard_count = static_cast<unsigned>(std::min(whole, double{SlotHistory::kWindow}));
        for (unsigned k = 0; k < out.discard_count; ++k) {
            late_ += slots_.discard(out.discard_from + k) ? 1 : 0;
        }
    }
    base_ms_ += ms;
}

SlotOutcome FixedReceiver::observe(const StreamAnalysis& a, const DelayTrack& track,
                                   const PacketDelay& d, double jitter_buffer_ms) {
    const std::int64_t extended = a.sequence().extended();
    if (a.packets() == 1) {
        *this = FixedReceiver{};
        buffer_ms_ = jitter_buffer_ms;
    }
    SlotOutcome out{false, true, false, 0, false, 0, 0, 0};
    const unsigned duplicates = a.sequence().duplicates();
    if (duplicates != duplicates_) {
        duplicates_ = duplicates;
        out.duplicate = true;  // the first copy had the slot
        return out;
    }
    if (!d.has_delay) {
        slots_.received(extended, true);
        return out;
    }
    has_clock_ = true;
    out.has_due = true;
    out.due_ms = track.on_time_ms(a.media_time_ms()) + base_ms_ + buffer_ms_;
    out.played = d.delay_ms <= base_ms_ + buffer_ms_;
    late_ += out.played ? 0 : 1;
    slots_.received(extended, out.played);
    if (d.jump) {
        // The delay goes on across the jump: the clock moved with the
        // media time, and the runs before it tell nothing of the path now.
        ++resyncs_;
        out.resynchronised = true;
        out.moved_ms = d.jump_ms;
        forget_runs();
        return out;
    }

    const double length = a.packet_length_ms();
    const double delay = d.delay_ms;
    late_run_lowest_ms_ = late_run_ == 0 ? delay : std::min(late_run_lowest_ms_, delay);
    late_run_ = out.played ? 0 : late_run_ + 1;
    // Early by two packets or more: a drifting clock moves less, and the
    // block rule follows it.
    const bool early = delay < base_ms_ - (2 * length);
    early_run_highest_ms_ = early_run_ == 0 ? delay : std::max(early_run_highest_ms_, delay);
    early_run_ = early ? early_run_ + 1 : 0;
    block_lowest_ms_ = block_count_ == 0 ? delay : std::min(block_lowest_ms_, delay);
    ++block_count_;

    double resync_ms = 0;
    bool follows = false;
    if (late_run_ >= kConfirm) {
        resync_ms = late_run_lowest_ms_ - base_ms_;
    } else if (early_run_ >= kConfirm) {
        resync_ms = early_run_highest_ms_ - base_ms_;
    } else if (block_count_ >= kBlock) {
        resync_ms = block_lowest_ms_ - base_ms_;
        // A drifting clock moves the block's floor by a fraction of a
        // packet; more is the path itself moving, whichever rule saw it.
        follows = std::fabs(resync_ms) < 2 * length;
        block_count_ = 0;
    }
    if (resync_ms == 0) {
        return out;
    }
    if (follows && resync_ms > 0) {
        // Following the floor up and down as jitter moves it skips nothing
        // on balance: a step later takes back the audio skipped before.
        skipped_ms_ = std::max(0.0, skipped_ms_ - resync_ms);
    }
    move(resync_ms, a, d, out);
    if (!follows) {
        ++resyncs_;
        out.resynchronised = true;
        out.moved_ms = resync_ms;
        forget_runs();
    }
    return out;
}

}  // namespace kestrune
