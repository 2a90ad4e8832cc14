// SPDX-License-Identifier: GPL-2.0-or-later
// One media stream as the tables keep it: its pipeline (the analysis, the
// fixed receiver and the intervals, as the dissector runs them), timed from
// its first packet, and where it starts in the capture.
#pragma once

#include <cstdint>
#include <optional>

#include "analysis/interval_score.h"
#include "analysis/stream_analysis.h"
#include "analysis/stream_pipeline.h"
#include "codec/stream_level.h"
#include "dissector/simple_packet_header.h"
#include "dissector/tapped_packet.h"
#include "table_cells.h"

namespace kestrune {

struct StreamKey;

// The stream's worst interval: the lowest MOS, and where the interval
// starts in seconds from the start of the capture.
struct WorstInterval {
    double mos;
    double start_s;
};

struct ScoredStream {
    nstime_t first_arrival{};
    double start_s = 0;  // from the start of the capture (or the time reference)
    StreamPipeline pipeline;
    std::optional<WorstInterval> worst_closed;
    // Its decoded audio, while the "Audio levels" preference is on.
    codec::StreamLevel level;

    const StreamAnalysis& analysis() const { return pipeline.analysis(); }
    const FixedReceiver& fixed() const { return pipeline.fixed(); }
    // With the "Score interval" preference on, from the first packet.
    const IntervalScorer* intervals() const { return pipeline.intervals(); }

    // One more packet, through the jitter buffer the preferences give; the
    // intervals it closed go to the sink as well. Returns what each stage
    // made of it.
    // Where and when a packet was captured.
    struct Capture {
        nstime_t abs_ts{};
        nstime_t rel_ts{};  // from the start of the capture (or the time reference)
        std::uint32_t frame = 0;
    };
    PipelineStep observe(const Capture& c, const SimplePacketHeader& h,
                         IntervalScorer::Closed sink = {nullptr, nullptr});
    // After observe(): the packet's payload decoded for the audio level, if
    // it is voice played in time and the preference is on.
    void hear(const TappedPacket& p, const SlotOutcome& outcome);
    // The stream's audio level, silence and clipping, if any was decoded.
    std::optional<LevelFigures> level_figures() const;
    // Its Silent (%) alone, as the calls table shows it.
    std::optional<double> silent_percent() const;
    double end_s() const { return start_s + (analysis().duration_ms() / 1000); }

    // The mouth-to-ear delay the score assumes for this stream.
    double delay_ms() const;
    // An interval's start, in seconds from the start of the capture.
    double interval_start_s(const IntervalFigures& f) const {
        return start_s + (intervals()->start_ms(f.index) / 1000);
    }
    // Whether an interval counts for the worst: all but a last one shorter
    // than half an interval.
    bool counts_for_worst(const IntervalFigures& f) const;
    // The worst interval, the open ones as they stand now included.
    std::optional<WorstInterval> worst() const;
};

// Where and when the packet being tapped was captured.
inline ScoredStream::Capture capture_of(const packet_info* pinfo) {
    return {pinfo->abs_ts, pinfo->rel_ts, pinfo->num};
}

// The table of a table UI's tap data: nullptr until the host made it.
stat_tap_table* first_table(void* tapdata);

// The address cells of a new row: text the table owns and frees.
void set_endpoint_cells(stat_tap_table_item_type& source, stat_tap_table_item_type& destination,
                        const StreamKey& key);
// Every stream table's free callback: its first two cells, the endpoints,
// are the only ones whose text it owns.
void free_endpoint_cell(stat_tap_table* table, guint row, guint column,
                        stat_tap_table_item_type* cell);

}  // namespace kestrune
