// SPDX-License-Identifier: GPL-2.0-or-later
#include "scored_stream.h"

#include <cstdint>

#include "score_preferences.h"
#include "stream_key.h"
#include "table_cells.h"

namespace kestrune {

void ScoredStream::observe(const packet_info* pinfo, const SimplePacketHeader& h) {
    if (analysis.packets() == 0) {
        first_arrival = pinfo->abs_ts;
        start_s = nstime_to_sec(&pinfo->rel_ts);
    }
    // Arrival times from the stream's first packet: small numbers keep the
    // doubles exact to the nanosecond.
    nstime_t since_first;
    nstime_delta(&since_first, &pinfo->abs_ts, &first_arrival);
    const double arrival_ms = nstime_to_msec(&since_first);
    analysis.observe({static_cast<std::uint8_t>(h.sequence_number), h.packet_type, h.codec_type,
                      h.payload_size, arrival_ms, pinfo->num});
    playout.observe(analysis, arrival_ms, score_preferences.jitter_buffer_ms);
}

stat_tap_table* first_table(void* tapdata) {
    const auto* ui = static_cast<stat_data_t*>(tapdata)->stat_tap_data;
    if (ui->tables == nullptr || ui->tables->len == 0) {
        return nullptr;
    }
    return g_array_index(ui->tables, stat_tap_table*, 0);
}

void set_endpoint_cells(stat_tap_table_item_type& source, stat_tap_table_item_type& destination,
                        const StreamKey& key) {
    set_string(source, g_strdup(endpoint_text(key.src, key.src_port).c_str()));
    set_string(destination, g_strdup(endpoint_text(key.dst, key.dst_port).c_str()));
}

}  // namespace kestrune
