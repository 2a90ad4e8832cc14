// SPDX-License-Identifier: GPL-2.0-or-later
// The slots of one media stream in sequence order, as a receiver played
// them or not, and how played and unplayed slots follow one another (the
// burst ratio of the E-model). Pure arithmetic: no host dependency. Memory
// stays the same however long the stream runs or however its sequence
// numbers jump.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>

namespace kestrune {

// How the slots of a stream, in sequence order, follow one another: a slot
// is played (its packet came in time) or lost (missing or late).
struct BurstCounts {
    unsigned played_followed = 0;  // played slots with another slot after them
    unsigned lost_followed = 0;    // lost slots with another slot after them
    unsigned played_to_lost = 0;
    unsigned lost_to_played = 0;

    // 1 / (p + q), p = played_to_lost / played_followed, q = lost_to_played /
    // lost_followed; 1 (random loss) while either kind of slot has no
    // successor yet.
    double burst_ratio() const;
};

// The slots from the lowest to the highest extended sequence number seen.
// The newest kWindow slots can still change (a reordered packet may fill
// its slot in time); older ones are folded into running counts.
class SlotHistory {
public:
    // The tracker never places a packet further than half its 8-bit
    // space behind the highest number; twice that leaves room to spare.
    static constexpr unsigned kWindow = 256;

    // A packet for slot `extended`: played, or come too late.
    void received(std::int64_t extended, bool played);
    // The packet of a slot the receiver had meant to play is dropped after
    // all (the receiver moved its clock past it). False, and nothing
    // changes, unless the slot is in the window and was played.
    bool discard(std::int64_t extended);
    // Whether a slot still in the window was played.
    bool was_played(std::int64_t extended) const;
    BurstCounts counts() const;

private:
    // Slots leaving the window: a few one at a time, more with bit counts.
    static constexpr std::int64_t kFoldOneByOne = 8;
    void fold(bool played);
    void fold_bits(std::size_t hi, std::size_t lo);
    void fold_run(bool played, std::int64_t count);

    bool started_ = false;
    std::int64_t lowest_ = 0;
    std::int64_t highest_ = 0;
    std::bitset<kWindow> played_;  // bit k: slot highest_ - k was played

    BurstCounts folded_;  // pairs of slots both folded
    bool has_folded_ = false;
    bool last_folded_played_ = false;
};

}  // namespace kestrune
