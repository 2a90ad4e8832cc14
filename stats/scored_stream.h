// SPDX-License-Identifier: GPL-2.0-or-later
// One media stream as the tables keep it: its analysis and its playout,
// timed from its first packet, and where it starts in the capture.
#pragma once

#include <memory>
#include <optional>

#include "analysis/interval_score.h"
#include "analysis/playout.h"
#include "analysis/stream_analysis.h"
#include "dissector/simple_packet_header.h"
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
    StreamAnalysis analysis;
    Playout playout;
    // With the "Score interval" preference on, from the first packet.
    std::unique_ptr<IntervalScorer> intervals;
    std::optional<WorstInterval> worst_closed;

    // One more packet, through the jitter buffer the preferences give; the
    // intervals it closed go to the sink as well.
    void observe(const packet_info* pinfo, const SimplePacketHeader& h,
                 IntervalScorer::Closed sink = {nullptr, nullptr});
    double end_s() const { return start_s + (analysis.duration_ms() / 1000); }

    // The mouth-to-ear delay the score assumes for this stream.
    double delay_ms() const;
    // An interval's start, in seconds from the start of the capture.
    double interval_start_s(const IntervalFigures& f) const {
        return start_s + (intervals->start_ms(f.index) / 1000);
    }
    // Whether an interval counts for the worst: all but a last one shorter
    // than half an interval.
    bool counts_for_worst(const IntervalFigures& f) const;
    // The worst interval, the open ones as they stand now included.
    std::optional<WorstInterval> worst() const;
};

// The table of a table UI's tap data: nullptr until the host made it.
stat_tap_table* first_table(void* tapdata);

// The address cells of a new row: text the table owns and frees.
void set_endpoint_cells(stat_tap_table_item_type& source, stat_tap_table_item_type& destination,
                        const StreamKey& key);

}  // namespace kestrune
