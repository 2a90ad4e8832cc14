// SPDX-License-Identifier: GPL-2.0-or-later
#include "sequence_tracker.h"

namespace kestrune {

void SequenceTracker::advance_to(std::uint8_t sequence) {
    // Numbers between the old highest and this one are now missing; their
    // bits from the previous trip round the sequence space are stale.
    for (std::uint8_t s = highest_ + 1; s != sequence; ++s) {
        seen_.reset(s);
        skipped_.set(s);
        ++missing_;
    }
    seen_.set(sequence);
    skipped_.reset(sequence);
    highest_ = sequence;
}

SequenceTracker::Verdict SequenceTracker::observe(std::uint8_t sequence) {
    ++packets_;
    if (!started_) {
        started_ = true;
        seen_.reset();
        skipped_.reset();
        seen_.set(sequence);
        highest_ = sequence;
        highest_extended_ = extended_ = sequence;
        return Verdict::First;
    }
    const unsigned ahead = static_cast<std::uint8_t>(sequence - highest_);
    if (ahead != 0 && ahead < kWindow) {
        advance_to(sequence);
        highest_extended_ += ahead;
        extended_ = highest_extended_;
        return ahead == 1 ? Verdict::InOrder : Verdict::Gap;
    }
    extended_ = highest_extended_ - static_cast<std::uint8_t>(highest_ - sequence);
    if (seen_.test(sequence)) {
        ++duplicates_;
        return Verdict::Duplicate;
    }
    // Late: it arrived after a higher number. If it had been counted as
    // missing, it no longer is.
    ++out_of_order_;
    seen_.set(sequence);
    if (skipped_.test(sequence)) {
        skipped_.reset(sequence);
        --missing_;
    }
    return Verdict::OutOfOrder;
}

}  // namespace kestrune
