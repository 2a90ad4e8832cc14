// SPDX-License-Identifier: GPL-2.0-or-later
// A fixed jitter buffer at the receiver, as a phone or gateway runs one: a
// buffer of constant size whose playout clock follows the sender. Which
// packets came too late to be played, which it dropped when it moved its
// clock, and how the played and unplayed slots alternate.
//
// The clock: a packet of delay d (PacketDelay, 0 on the first packet) is
// due when its delay reaches base + buffer, and played if it arrives by
// then. The base starts at 0 and moves by three rules, each judged on the
// delays of the packets received (repeats left out):
// - following the sender: at the end of every block of kBlock packets the
//   base moves up to the block's lowest delay if that is higher (a sender
//   whose clock runs slow), or down to it if that is lower (a sender whose
//   clock runs fast);
// - a route that got longer: kConfirm packets in a row late resynchronise
//   the base onto the lowest of their delays;
// - a route that got shorter: kConfirm packets in a row early by two
//   packet lengths or more resynchronise the base down to the highest of
//   their delays;
// and a jump (DelayTrack) counts as a resynchronisation of its own. A move
// of the block rule by two packet lengths or more is the path moving, not
// the sender's clock, and counts as a resynchronisation too.
// Moving later costs no packet (the receiver plays on a little longer);
// moving earlier skips audio, which adds up until it makes a whole packet:
// then the packet playing, if it was waiting in the buffer, is dropped and
// counts as late. A correction shorter than a packet costs none, and the
// block rule's steps later take back the skipped audio not yet dropped (the
// floor under jitter moves a little either way, skipping nothing on
// balance). Pure arithmetic: no host dependency.
#pragma once

#include <cstdint>

#include "playout.h"
#include "slot_history.h"
#include "stream_analysis.h"

namespace kestrune {

class FixedReceiver {
public:
    // One second of 20 ms packets: long enough that its lowest delay is
    // the path's own under jitter, short enough to follow a drift of 0.1%
    // (0.02 ms a packet) well inside a packet length.
    static constexpr unsigned kBlock = 50;
    // Packets in a row that tell the path moved: one or two late packets
    // are jitter, five are a new route.
    static constexpr unsigned kConfirm = 5;

    // Call after DelayTrack::observe() with the same packet. The stream's
    // first packet fixes the buffer, in ms. Until the stream has a media
    // clock (a voice packet of a codec with a fixed rate) nothing can be
    // due, so the packets before it count as played.
    SlotOutcome observe(const StreamAnalysis& a, const DelayTrack& track, const PacketDelay& d,
                        double jitter_buffer_ms);

    // Distinct packets that came after they were due, or were dropped when
    // the clock moved earlier (repeats not counted).
    unsigned late() const { return late_; }
    bool has_clock() const { return has_clock_; }
    double buffer_ms() const { return buffer_ms_; }
    // Times the clock moved for a route change or a jump (not the small
    // steps that follow a drifting sender).
    unsigned resynchronisations() const { return resyncs_; }
    const SlotHistory& slots() const { return slots_; }
    ReceiverFigures figures() const { return {buffer_ms_, late_, slots_.counts()}; }

private:
    // Moves the base by `ms`; earlier drops the played slots it skips.
    void move(double ms, const StreamAnalysis& a, const PacketDelay& d, SlotOutcome& out);
    void forget_runs();

    double buffer_ms_ = 0;
    bool has_clock_ = false;
    unsigned duplicates_ = 0;
    unsigned late_ = 0;
    unsigned resyncs_ = 0;
    double base_ms_ = 0;
    double skipped_ms_ = 0;  // skipped audio not yet a whole packet
    unsigned block_count_ = 0;
    double block_lowest_ms_ = 0;
    unsigned late_run_ = 0;
    double late_run_lowest_ms_ = 0;
    unsigned early_run_ = 0;
    double early_run_highest_ms_ = 0;
    SlotHistory slots_;
};

}  // namespace kestrune
