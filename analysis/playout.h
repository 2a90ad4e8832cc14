// SPDX-License-Identifier: GPL-2.0-or-later
// What a fixed jitter buffer at the receiver would have made of one media
// stream: which packets came too late to be played, and how the played and
// lost slots alternate in sequence order (the burst ratio of the E-model).
// Pure arithmetic: no host dependency. Memory stays the same however long
// the stream runs or however its sequence numbers jump.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>

#include "stream_analysis.h"

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

// What the buffer made of one packet.
struct SlotOutcome {
    bool duplicate;  // a repeat: the first copy had the slot
    bool played;     // came in time (always, before the clock starts)
    bool has_due;    // the clock runs: due_ms is the packet's due time
    double due_ms;
};

class Playout {
public:
    // Call after StreamAnalysis::observe() with the same packet. The first
    // packet of the stream fixes the buffer, in ms, and its arrival starts
    // the playout clock: the packet with extended number n is due at
    // a0 + (t(n) - t(n0)) + buffer. Until the stream has a media clock (a
    // voice packet of a codec with a fixed rate) nothing can be due, so the
    // packets before it count as played.
    SlotOutcome observe(const StreamAnalysis& a, double arrival_ms, double jitter_buffer_ms);
    // As observe(), without the slots' history (and so without slots() or
    // a burst ratio): for a caller that needs only the due times.
    SlotOutcome place(const StreamAnalysis& a, double arrival_ms, double jitter_buffer_ms);

    // Distinct packets that came after they were due (repeats not counted).
    unsigned late() const { return late_; }
    bool has_clock() const { return has_clock_; }
    double buffer_ms() const { return buffer_ms_; }
    // The first packet's due time, where the playout clock starts.
    double first_due_ms() const { return first_arrival_ms_ + buffer_ms_; }
    const SlotHistory& slots() const { return slots_; }

private:
    double buffer_ms_ = 0;
    double first_arrival_ms_ = 0;
    std::int64_t first_extended_ = 0;
    unsigned duplicates_ = 0;
    bool has_clock_ = false;
    double due_offset_ms_ = 0;  // due time = media time + this
    unsigned late_ = 0;
    SlotHistory slots_;
};

}  // namespace kestrune
