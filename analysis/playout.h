// SPDX-License-Identifier: GPL-2.0-or-later
// What every receiver model shares: the delay of each packet on its
// stream's media clock, what a receiver made of one packet, and the
// figures a score takes from a receiver. Pure arithmetic: no host
// dependency; times in ms from the stream's first arrival.
#pragma once

#include <cstdint>

#include "slot_history.h"
#include "stream_analysis.h"

namespace kestrune {

// One packet's delay: its arrival minus its media time, relative to the
// stream's first packet (0 there), so that a route change shows as a step
// and a drifting sender's clock as a slope.
struct PacketDelay {
    bool has_delay;  // the stream's media clock runs
    double delay_ms;
    // The packet is a jump: a step in sequence or media time that its
    // arrival contradicts (a sender restart, a new talkspurt), by more than
    // DelayTrack::kJumpMs. The delay goes on from the previous packet's.
    bool jump;
    double jump_ms;  // the step the delay would have made
};

class DelayTrack {
public:
    // No network moves a path by a second from one packet to the next; a
    // route change or a delay spike moves it by some hundred ms.
    static constexpr double kJumpMs = 1000;

    // After StreamAnalysis::observe() with the same packet.
    PacketDelay observe(const StreamAnalysis& a, double arrival_ms);

    bool has_clock() const { return has_clock_; }
    // The arrival a packet of media time media_ms would have had at the
    // first packet's delay, the jumps so far undone.
    double on_time_ms(double media_ms) const { return media_ms + base_ms_ + corrected_ms_; }
    // The first packet's arrival minus its media time, counted back from
    // the first packet on the clock.
    double base_ms() const { return base_ms_; }
    double first_arrival_ms() const { return first_arrival_ms_; }
    // The steps of the jumps so far, taken out of the delays.
    double corrected_ms() const { return corrected_ms_; }
    unsigned jumps() const { return jumps_; }

private:
    bool has_clock_ = false;
    bool has_previous_ = false;
    std::int64_t first_extended_ = 0;
    double first_arrival_ms_ = 0;
    unsigned duplicates_ = 0;
    double base_ms_ = 0;
    double corrected_ms_ = 0;  // the steps of the jumps so far
    double previous_ms_ = 0;   // the delay of the last packet that advanced the stream
    unsigned jumps_ = 0;
};

// What a receiver made of one packet.
struct SlotOutcome {
    bool duplicate;  // a repeat: the first copy had the slot
    bool played;     // came in time (always, before the clock starts)
    bool has_due;    // the clock runs: due_ms is the packet's due time
    double due_ms;
    // The receiver moved its playout clock on this packet (a route change,
    // a jump): by moved_ms, positive when later.
    bool resynchronised;
    double moved_ms;
    // Moving the clock earlier skipped the slots [discard_from,
    // discard_from + discard_count): those that were played are dropped
    // after all and count as late from now on.
    std::int64_t discard_from;
    unsigned discard_count;
};

// What a score takes from a receiver.
struct ReceiverFigures {
    double delay_ms = 0;  // the buffer's delay, as a fixed receiver's size
    unsigned late = 0;    // received but not played, dropped ones included
    BurstCounts bursts;
};

}  // namespace kestrune
