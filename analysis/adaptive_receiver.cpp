// SPDX-License-Identifier: GPL-2.0-or-later
#include "adaptive_receiver.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrune {
namespace {

// The weights grow by 1 / kForget a packet: scaled back to 1 when they
// reach 2^32, once in some 3300 packets, long before a double loses the
// old weights next to the new ones.
constexpr double kRescaleAt = 4294967296.0;

}  // namespace

double AdaptiveReceiver::mean_delay_ms() const {
    return played_ == 0 ? buffer_ms() : played_sum_ms_ / played_;
}

void AdaptiveReceiver::restart_floor(double delay_ms) {
    block_lowest_ms_.fill(delay_ms);
    block_next_ = 0;
    blocks_lowest_ms_ = delay_ms;
    filling_count_ = 0;
    floor_ms_ = delay_ms;
}

void AdaptiveReceiver::restart(double delay_ms) {
    restart_floor(delay_ms);
    bins_.fill(0);
    weight_ = 1;
    total_ = above_ = 0;
    quantile_bin_ = 0;
    run_ = 0;
    floor_before_at_.fill(std::numeric_limits<std::int64_t>::min());
}

double AdaptiveReceiver::floor_for(std::int64_t extended, std::int64_t highest) const {
    if (extended == highest) {
        return floor_ms_;
    }
    const std::int64_t last = std::min(highest, extended + kReorder);
    for (std::int64_t next = extended + 1; next <= last; ++next) {
        const std::size_t k = static_cast<std::uint64_t>(next) % kReorder;
        if (floor_before_at_[k] == next) {
            return floor_before_ms_[k];
        }
    }
    return floor_ms_;
}

void AdaptiveReceiver::add_floor(double delay_ms) {
    filling_lowest_ms_ = filling_count_ == 0 ? delay_ms : std::min(filling_lowest_ms_, delay_ms);
    if (++filling_count_ < kFloorBlock) {
        floor_ms_ = std::min(blocks_lowest_ms_, filling_lowest_ms_);
        return;
    }
    block_lowest_ms_[block_next_] = filling_lowest_ms_;
    block_next_ = (block_next_ + 1) % kFloorBlocks;
    blocks_lowest_ms_ = *std::min_element(block_lowest_ms_.begin(), block_lowest_ms_.end());
    filling_count_ = 0;
    floor_ms_ = blocks_lowest_ms_;
}

void AdaptiveReceiver::rescale() {
    const double scale = 1 / weight_;
    above_ = 0;
    for (unsigned b = 0; b < kBins; ++b) {
        bins_[b] *= scale;
        above_ += b > quantile_bin_ ? bins_[b] : 0;
    }
    total_ *= scale;
    weight_ = 1;
}

void AdaptiveReceiver::add_sample(double above_floor_ms) {
    // Written so that a delay below the floor (a floor that stepped up
    // since the packet came) falls into the lowest bin.
    const double at = above_floor_ms / kBinMs;
    unsigned bin = 0;
    if (at >= kBins) {
        bin = kBins - 1;
    } else if (at > 0) {
        bin = static_cast<unsigned>(at);
    }
    bins_[bin] += weight_;
    total_ += weight_;
    above_ += bin > quantile_bin_ ? weight_ : 0;
    weight_ /= kForget;
    if (weight_ >= kRescaleAt) {
        rescale();
    }
    // The quantile's bin: at most the allowed share of the weight lies
    // above it, more than that from it up.
    const double allowed = (1 - kQuantile) * total_;
    while (above_ > allowed && quantile_bin_ < kBins - 1) {
        ++quantile_bin_;
        above_ -= bins_[quantile_bin_];
    }
    while (quantile_bin_ > 0 && above_ + bins_[quantile_bin_] <= allowed) {
        above_ += bins_[quantile_bin_];
        --quantile_bin_;
    }
    above_ = std::max(above_, 0.0);  // rounding of the subtractions
    const double edge = (quantile_bin_ + 1) * kBinMs;
    target_ms_ = std::clamp(edge + kMarginMs, kMinBufferMs, kMaxBufferMs);
}

SlotOutcome AdaptiveReceiver::observe(const StreamAnalysis& a, const DelayTrack& track,
                                      const PacketDelay& d) {
    const std::int64_t extended = a.sequence().extended();
    if (a.packets() == 1) {
        *this = AdaptiveReceiver{};
    }
    SlotOutcome out{false, true, false, 0, false, 0, 0, 0};
    const unsigned duplicates = a.sequence().duplicates();
    if (duplicates != duplicates_) {
        duplicates_ = duplicates;
        out.duplicate = true;  // the first copy had the slot
        return out;
    }
    const double delay = d.delay_ms;
    if (!d.has_delay || !std::isfinite(delay)) {
        slots_.received(extended, true);
        return out;
    }
    const double on_time = track.on_time_ms(a.media_time_ms());
    if (!has_clock_) {
        has_clock_ = true;
        restart(delay);
        playout_ms_ = delay + kStartMs;
        first_due_ms_ = on_time + playout_ms_;
    }
    out.has_due = true;
    out.due_ms = on_time + playout_ms_;
    out.played = delay <= playout_ms_;
    slots_.received(extended, out.played);
    if (out.played) {
        played_sum_ms_ += playout_ms_ - floor_ms_;
        ++played_;
    } else {
        ++late_;
    }
    if (d.jump) {
        // The delay goes on across the jump, the buffer with it; what was
        // learnt of the path before tells nothing of the path now.
        const double buffer = playout_ms_ - floor_ms_;
        restart(delay);
        playout_ms_ = delay + buffer;
        jumped_at_ = extended;
        ++resyncs_;
        out.resynchronised = true;
        out.moved_ms = d.jump_ms;
    } else if (extended < jumped_at_) {
        // Sent before the jump and come after it: its delay is measured
        // across the jump, as off as the jump's step, and would wreck the
        // statistics that have just started again.
        return out;
    }

    const std::int64_t highest = a.sequence().highest_extended();
    if (extended == highest) {
        const std::size_t k = static_cast<std::uint64_t>(extended) % kReorder;
        floor_before_at_[k] = extended;
        floor_before_ms_[k] = floor_ms_;
    }
    add_floor(delay);
    if (!out.played) {
        run_ms_[run_++] = delay;
        if (run_ == kConfirm) {
            // A longer path: its delays are the path's own, not jitter.
            const double lowest = *std::min_element(run_ms_.begin(), run_ms_.end());
            restart_floor(lowest);
            for (const double late_ms : run_ms_) {
                add_sample(late_ms - floor_ms_);
            }
            run_ = 0;
            const double before = playout_ms_;
            playout_ms_ = std::max(playout_ms_, floor_ms_ + target_ms_);
            ++resyncs_;
            out.resynchronised = true;
            out.moved_ms = playout_ms_ - before;
            return out;
        }
    } else {
        // The late packets before this one were jitter after all.
        for (unsigned k = 0; k < run_; ++k) {
            add_sample(run_ms_[k] - floor_ms_);
        }
        run_ = 0;
        add_sample(delay - floor_for(extended, highest));
    }

    // The audio of this packet, played stretched or shrunk.
    const double length = a.packet_length_ms();
    const double step = floor_ms_ + target_ms_ - playout_ms_;
    playout_ms_ += std::clamp(step, -kShrinkShare * length, kGrowShare * length);
    return out;
}

}  // namespace kestrune
