// SPDX-License-Identifier: GPL-2.0-or-later
// One media stream's analysis from end to end, in capture order: the
// sequence and media clock, each packet's delay, the fixed receiver that
// the scores stand on and the score intervals. The dissector's per-packet
// records and the statistics tables both run a stream through one of
// these, so every figure comes from the same rules. Pure arithmetic: no
// host dependency; nothing in it needs a destructor, so it may live in
// memory freed without one.
#pragma once

#include <optional>

#include "fixed_receiver.h"
#include "interval_score.h"
#include "playout.h"
#include "stream_analysis.h"

namespace kestrune {

// What one packet told, at each stage.
struct PipelineStep {
    PacketAnalysis packet;
    PacketDelay delay;
    SlotOutcome fixed;
};

class StreamPipeline {
public:
    // Before the stream's first packet: the fixed receiver's buffer and the
    // length of the score intervals (0: none), both in ms.
    void start(double jitter_buffer_ms, double interval_ms);

    // One more packet, arrival in ms from the stream's first; the intervals
    // it closed go to the sink.
    PipelineStep observe(const StreamPacket& p, IntervalScorer::Closed sink);

    const StreamAnalysis& analysis() const { return analysis_; }
    const DelayTrack& track() const { return track_; }
    const FixedReceiver& fixed() const { return fixed_; }
    // Null without score intervals.
    const IntervalScorer* intervals() const { return intervals_ ? &*intervals_ : nullptr; }

private:
    double jitter_buffer_ms_ = 0;
    double interval_ms_ = 0;
    StreamAnalysis analysis_;
    DelayTrack track_;
    FixedReceiver fixed_;
    std::optional<IntervalScorer> intervals_;
};

}  // namespace kestrune
