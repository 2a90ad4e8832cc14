// SPDX-License-Identifier: GPL-2.0-or-later
#include "scored_stream.h"

#include <cstdint>

#include "dissector/rtp_report.h"
#include "dissector/score_preferences.h"
#include "level_preferences.h"
#include "stream_key.h"
#include "table_cells.h"

namespace kestrune {

PipelineStep ScoredStream::observe(const Capture& c, const SimplePacketHeader& h,
                                   IntervalScorer::Closed sink) {
    if (analysis().packets() == 0) {
        first_arrival = c.abs_ts;
        start_s = nstime_to_sec(&c.rel_ts);
        pipeline.start(score_preferences.jitter_buffer_ms, score_preferences.interval_s * 1000.0);
    }
    // Arrival times from the stream's first packet: small numbers keep the
    // doubles exact to the nanosecond.
    nstime_t since_first;
    nstime_delta(&since_first, &c.abs_ts, &first_arrival);
    const StreamPacket packet{static_cast<std::uint8_t>(h.sequence_number),
                              h.packet_type,
                              h.codec_type,
                              h.payload_size,
                              nstime_to_msec(&since_first),
                              c.frame};
    struct Context {
        ScoredStream* stream;
        IntervalScorer::Closed sink;
    } context{this, sink};
    return pipeline.observe(
        packet, {&context, [](void* c, const IntervalFigures& f) {
                     auto* ctx = static_cast<Context*>(c);
                     ScoredStream& s = *ctx->stream;
                     if (s.counts_for_worst(f)) {
                         const auto score = interval_score(f, s.delay_ms());
                         if (score && (!s.worst_closed || score->mos < s.worst_closed->mos)) {
                             s.worst_closed = WorstInterval{score->mos, s.interval_start_s(f)};
                         }
                     }
                     if (ctx->sink.closed != nullptr) {
                         ctx->sink.closed(ctx->sink.context, f);
                     }
                 }});
}

// Lost and late slots, repeats and DTMF, fax and modem packets are not
// audio the listener heard, so they count neither as sound nor as silence.
void ScoredStream::hear(const TappedPacket& p, const SlotOutcome& outcome) {
    if (level_preferences.audio_levels == 0 || p.header.packet_type != kVoicePacket ||
        outcome.duplicate || !outcome.played) {
        return;
    }
    level.hear(p.header.codec_type, g726_packing(), p.payload, p.payload_captured,
               p.header.payload_size, silent_below());
}

std::optional<LevelFigures> ScoredStream::level_figures() const {
    return level_preferences.audio_levels != 0 ? level.figures(silent_below()) : std::nullopt;
}

std::optional<double> ScoredStream::silent_percent() const {
    return level_preferences.audio_levels != 0 ? level.silent_percent(silent_below())
                                               : std::nullopt;
}

double ScoredStream::delay_ms() const {
    return score_delay_ms(analysis(), fixed().figures(), score_preferences.network_delay_ms);
}

bool ScoredStream::counts_for_worst(const IntervalFigures& f) const {
    return !intervals()->is_last(f) || f.covered_ms >= intervals()->interval_ms() / 2;
}

std::optional<WorstInterval> ScoredStream::worst() const {
    std::optional<WorstInterval> worst = worst_closed;
    const IntervalScorer* open = intervals();
    if (open == nullptr) {
        return worst;
    }
    for (unsigned i = 0; i < open->open_count(); ++i) {
        const IntervalFigures f = open->open_figures(i);
        if (!counts_for_worst(f)) {
            continue;
        }
        const auto score = interval_score(f, delay_ms());
        if (score && (!worst || score->mos < worst->mos)) {
            worst = WorstInterval{score->mos, interval_start_s(f)};
        }
    }
    return worst;
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

void free_endpoint_cell(stat_tap_table* /*table*/, guint /*row*/, guint column,
                        stat_tap_table_item_type* cell) {
    if (column < 2) {
        g_free(const_cast<char*>(cell->value.string_value));
        cell->value.string_value = nullptr;
    }
}

}  // namespace kestrune
