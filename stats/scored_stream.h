// SPDX-License-Identifier: GPL-2.0-or-later
// One media stream as the tables keep it: its analysis and its playout,
// timed from its first packet, and where it starts in the capture.
#pragma once

#include "analysis/playout.h"
#include "analysis/stream_analysis.h"
#include "dissector/simple_packet_header.h"
#include "table_cells.h"

namespace kestrune {

struct StreamKey;

struct ScoredStream {
    nstime_t first_arrival{};
    double start_s = 0;  // from the start of the capture (or the time reference)
    StreamAnalysis analysis;
    Playout playout;

    // One more packet, through the jitter buffer the preferences give.
    void observe(const packet_info* pinfo, const SimplePacketHeader& h);
    double end_s() const { return start_s + (analysis.duration_ms() / 1000); }
};

// The table of a table UI's tap data: nullptr until the host made it.
stat_tap_table* first_table(void* tapdata);

// The address cells of a new row: text the table owns and frees.
void set_endpoint_cells(stat_tap_table_item_type& source, stat_tap_table_item_type& destination,
                        const StreamKey& key);

}  // namespace kestrune
