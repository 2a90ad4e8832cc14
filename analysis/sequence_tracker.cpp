// SPDX-License-Identifier: GPL-2.0-or-later
#include "sequence_tracker.h"

namespace kestrune {

void SequenceFlags::assign_run(std::uint8_t first, unsigned count, bool value) {
    unsigned s = first;
    while (count > 0) {
        const unsigned offset = s & 63u;
        const unsigned take = count < 64 - offset ? count : 64 - offset;
        const std::uint64_t ones = take >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << take) - 1;
        std::uint64_t& word = words_[s >> 6];
        word = value ? word | (ones << offset) : word & ~(ones << offset);
        s = (s + take) & 0xFFu;
        count -= take;
    }
}

void SequenceTracker::advance_to(std::uint8_t sequence) {
    // Numbers between the old highest and this one are now missing; their
    // flags from the previous trip round the sequence space are stale.
    const auto after = static_cast<std::uint8_t>(highest_ + 1);
    const unsigned skipped = static_cast<std::uint8_t>(sequence - after);
    seen_.assign_run(after, skipped, false);
    skipped_.assign_run(after, skipped, true);
    missing_ += skipped;
    seen_.set(sequence);
    skipped_.reset(sequence);
    highest_ = sequence;
}

SequenceTracker::Verdict SequenceTracker::observe(std::uint8_t sequence) {
    ++packets_;
    if (!started_) {
        started_ = true;
        seen_.clear();
        skipped_.clear();
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
