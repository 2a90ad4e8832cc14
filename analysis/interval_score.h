// SPDX-License-Identifier: GPL-2.0-or-later
// A stream's quality over time: its slots cut into intervals of fixed
// length on the playout clock (the due times of the jitter buffer the score
// assumes), each scored on its own. A slot belongs to the interval holding
// its due time, whether its packet came in time, late or never. An
// interval is closed, and its figures fixed, by the stream's first packet
// that arrives after its end. Pure arithmetic: no host dependency; times in
// ms from the stream's first arrival, as the receivers take them.
#pragma once

#include <cstdint>
#include <optional>

#include "playout.h"
#include "quality_score.h"
#include "slot_history.h"
#include "stream_analysis.h"

namespace kestrune {

struct IntervalFigures {
    static constexpr int kNoVoice = -2;

    std::int64_t index = 0;  // from the stream's first due time, in intervals
    unsigned expected = 0;   // slots due in it
    unsigned played = 0;     // slots whose packet came in time
    unsigned late = 0;       // packets that came after their slot was due, or were dropped
    unsigned voice = 0;      // voice packets among those that came
    // The codec of every voice packet, StreamAnalysis::kMixedCodecs, or
    // kNoVoice.
    int codec = kNoVoice;
    bool has_jitter = false;
    double max_jitter_ms = 0;  // largest running jitter after one of its packets
    double covered_ms = 0;     // from its start to the end of its last slot
    BurstCounts bursts;        // over its own slots, in sequence order

    unsigned packets() const { return played + late; }
    // Missing or too late, as the score counts them.
    unsigned lost() const { return expected - played; }
    double lost_percent() const { return expected == 0 ? 0 : 100.0 * lost() / expected; }
};

// The score with the stream's rules: late packets lost, the burst ratio
// and the codec of the interval's own packets, the given mouth-to-ear
// delay. Empty without a voice packet of a codec with figures.
std::optional<QualityScore> interval_score(const IntervalFigures& f, double delay_ms);

// One packet as the intervals see it, after StreamAnalysis::observe() and
// FixedReceiver::observe().
struct IntervalPacket {
    std::int64_t extended;  // its slot
    SlotOutcome outcome;
    double arrival_ms;
    double packet_length_ms;  // the stream's, when outcome.has_due
    bool voice;
    std::uint16_t codec;
    bool has_jitter;
    double jitter_ms;
};

IntervalPacket interval_packet(const StreamAnalysis& a, const PacketAnalysis& result,
                               const SlotOutcome& outcome, const StreamPacket& p);

// Where a slot up to the packet's own counts on the playout clock: its due
// time, counting back from the packet's at the stream's packet length, or
// the packet's arrival before the clock runs.
double slot_time_ms(const IntervalPacket& p, std::int64_t slot);

class IntervalScorer {
public:
    // Intervals open at once: the one the packets arrive in, the next (the
    // buffer reaches into it) and a few ahead for a stream whose numbers
    // jumped forward. A slot further ahead closes the oldest early.
    static constexpr unsigned kMaxOpen = 4;

    struct Closed {
        void* context;
        void (*closed)(void* context, const IntervalFigures& f);
    };

    // Before the scorer sees the stream's first packet: intervals of
    // length_ms from first_due (ms from that packet's arrival).
    void start(double length_ms, double first_due);
    double interval_ms() const { return interval_ms_; }
    // The start of an interval, in ms from the stream's first arrival.
    double start_ms(std::int64_t index) const {
        return first_due_ms_ + (static_cast<double>(index) * interval_ms_);
    }

    // Places the packet's slot (and the slots it shows missing) and closes
    // the intervals that ended before it arrived, oldest first.
    void observe(const IntervalPacket& p, Closed sink);

    // The intervals still open, oldest first, as they stand now (a table
    // shows them as they are when the capture ends).
    unsigned open_count() const { return open_count_; }
    // The stream's newest interval so far (a last one may be short).
    bool is_last(const IntervalFigures& f) const { return f.index == last_index_; }
    IntervalFigures open_figures(unsigned i) const;
    // The same without the burst counts, which take some counting: enough
    // to tell whether an interval changed.
    const IntervalFigures& open_counts(unsigned i) const { return open_at(i).figures; }

private:
    struct Open {
        IntervalFigures figures;
        std::int64_t first_slot = 0;
        std::int64_t last_slot = 0;
        SlotHistory slots;
    };

    Open& open_at(unsigned i) { return open_[(head_ + i) % kMaxOpen]; }
    const Open& open_at(unsigned i) const { return open_[(head_ + i) % kMaxOpen]; }
    std::int64_t index_of(double ms) const;
    Open& open_for(std::int64_t slot, std::int64_t index, Closed sink);
    std::int64_t last_slot_at_or_before(std::int64_t index, const IntervalPacket& p) const;
    Open* find_open(std::int64_t slot);
    void close_oldest(Closed sink);

    double interval_ms_ = 0;
    double first_due_ms_ = 0;
    bool has_slots_ = false;
    std::int64_t highest_ = 0;      // the highest slot placed
    std::int64_t last_index_ = 0;   // the interval of the highest slot
    std::int64_t lowest_open_ = 0;  // every interval below it is closed
    Open open_[kMaxOpen] = {};
    unsigned head_ = 0;
    unsigned open_count_ = 0;
};

}  // namespace kestrune
