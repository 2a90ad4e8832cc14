// SPDX-License-Identifier: GPL-2.0-or-later
#include "slot_history.h"

#include <algorithm>

namespace kestrune {

double BurstCounts::burst_ratio() const {
    if (played_followed == 0 || lost_followed == 0) {
        return 1;
    }
    const double p = static_cast<double>(played_to_lost) / played_followed;
    const double q = static_cast<double>(lost_to_played) / lost_followed;
    return p + q > 0 ? 1 / (p + q) : 1;
}

namespace {

// The pair (from, to) of consecutive slots.
void count_pair(BurstCounts& c, bool from_played, bool to_played) {
    if (from_played) {
        ++c.played_followed;
        c.played_to_lost += to_played ? 0 : 1;
    } else {
        ++c.lost_followed;
        c.lost_to_played += to_played ? 1 : 0;
    }
}

}  // namespace

void SlotHistory::fold(bool played) {
    if (has_folded_) {
        count_pair(folded_, last_folded_played_, played);
    }
    has_folded_ = true;
    last_folded_played_ = played;
}

void SlotHistory::fold_bits(std::size_t hi, std::size_t lo) {
    const std::bitset<kWindow> all = ~std::bitset<kWindow>();
    if (has_folded_) {
        count_pair(folded_, last_folded_played_, played_[hi]);
    }
    // Pairs (bit k, bit k - 1) for k in lo + 1 .. hi, bit k the older, as
    // counts() takes them.
    const std::bitset<kWindow> from = (all >> (kWindow - 1 - hi)) & (all << (lo + 1));
    const std::bitset<kWindow> next = played_ << 1;
    const auto played_from = static_cast<unsigned>((played_ & from).count());
    folded_.played_followed += played_from;
    folded_.lost_followed += static_cast<unsigned>(hi - lo) - played_from;
    folded_.played_to_lost += static_cast<unsigned>((played_ & ~next & from).count());
    folded_.lost_to_played += static_cast<unsigned>((~played_ & next & from).count());
    has_folded_ = true;
    last_folded_played_ = played_[lo];
}

void SlotHistory::fold_run(bool played, std::int64_t count) {
    if (count <= 0) {
        return;
    }
    fold(played);
    // The rest of the run follows a slot of its own kind.
    const auto more = static_cast<unsigned>(count - 1);
    (played ? folded_.played_followed : folded_.lost_followed) += more;
}

void SlotHistory::received(std::int64_t extended, bool played) {
    if (!started_) {
        started_ = true;
        lowest_ = highest_ = extended;
        played_.reset();
        played_[0] = played;
        return;
    }
    if (extended > highest_) {
        const std::int64_t shift = extended - highest_;
        // The oldest slots leave the window, oldest first: bits hi down to lo.
        const std::int64_t hi = std::min<std::int64_t>(kWindow - 1, highest_ - lowest_);
        const std::int64_t lo = std::max<std::int64_t>(0, kWindow - shift);
        if (hi - lo < kFoldOneByOne) {
            for (std::int64_t k = hi; k >= lo; --k) {
                fold(played_[static_cast<std::size_t>(k)]);
            }
        } else {
            fold_bits(static_cast<std::size_t>(hi), static_cast<std::size_t>(lo));
        }
        if (shift > kWindow) {
            fold_run(false, shift - kWindow);  // never seen, already out of the window
            played_.reset();
        } else {
            played_ <<= static_cast<std::size_t>(shift);
        }
        highest_ = extended;
        played_[0] = played;
        return;
    }
    const std::int64_t k = highest_ - extended;
    if (k >= kWindow || (extended < lowest_ && has_folded_)) {
        return;  // its slot has been folded already
    }
    lowest_ = std::min(lowest_, extended);  // a stream may start with a late packet
    if (played) {
        played_[static_cast<std::size_t>(k)] = true;
    }
}

BurstCounts SlotHistory::counts() const {
    BurstCounts c = folded_;
    if (!started_) {
        return c;
    }
    const std::int64_t span = highest_ - lowest_ + 1;
    const auto valid = static_cast<std::size_t>(std::min<std::int64_t>(span, kWindow));
    if (has_folded_) {
        count_pair(c, last_folded_played_, played_[valid - 1]);
    }
    if (valid < 2) {
        return c;
    }
    // Pairs (slot k, slot k - 1) for k in 1 .. valid - 1, bit k older.
    std::bitset<kWindow> from = ~std::bitset<kWindow>() >> (kWindow - valid);
    from[0] = false;
    const std::bitset<kWindow> next = played_ << 1;  // bit k: slot k - 1 played
    const auto played_from = static_cast<unsigned>((played_ & from).count());
    c.played_followed += played_from;
    c.lost_followed += static_cast<unsigned>(valid - 1) - played_from;
    c.played_to_lost += static_cast<unsigned>((played_ & ~next & from).count());
    c.lost_to_played += static_cast<unsigned>((~played_ & next & from).count());
    return c;
}

bool SlotHistory::was_played(std::int64_t extended) const {
    if (!started_ || extended > highest_ || extended < lowest_ || highest_ - extended >= kWindow) {
        return false;
    }
    return played_[static_cast<std::size_t>(highest_ - extended)];
}

bool SlotHistory::discard(std::int64_t extended) {
    if (!was_played(extended)) {
        return false;
    }
    played_[static_cast<std::size_t>(highest_ - extended)] = false;
    return true;
}

}  // namespace kestrune
