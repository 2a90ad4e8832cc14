// SPDX-License-Identifier: GPL-2.0-or-later
//
// The receivers table: what three receivers would have made of each stream
// (the fixed one that every other table scores with, the same rule with a
// 200 ms buffer, and an adaptive one), beside what tells them apart: the
// sender's clock drift and the packet delay variation (RFC 5481). A table of
// the host's own kind (register_stat_tap_table_ui), like the stream table.
//
// tshark ends a row at its first cell without a kind, so every cell that
// can be without a value is text, empty while unknown; a stream of one
// packet keeps only what its row needs until a second one comes.
//
// Runs from the tap, after dissection, so ordinary C++ containers are safe
// here.
#include "receivers_table.h"

#include <epan/packet.h>  // stat_tap_ui.h needs glib first on 4.0
#include <epan/stat_tap_ui.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "analysis/adaptive_receiver.h"
#include "analysis/delay_variation.h"
#include "analysis/drift_estimate.h"
#include "analysis/fixed_receiver.h"
#include "analysis/quality_score.h"
#include "dissector/score_preferences.h"
#include "dissector/tapped_packet.h"
#include "dissector/value_names.h"
#include "number_text.h"
#include "scored_stream.h"
#include "stream_key.h"
#include "table_cells.h"

namespace kestrune {
namespace {

enum Column : std::uint8_t {
    kSource,
    kDestination,
    kSessionId,
    kCodec,
    kPackets,
    kDrift,
    kPdv99,
    kPdv999,
    kFixedLate,
    kFixedMos,
    kFixed200Late,
    kFixed200Mos,
    kAdaptiveLate,
    kAdaptiveDelay,
    kAdaptiveMos,
    kColumns
};
// free_endpoint_cell frees the first two.
static_assert(kSource == 0 && kDestination == 1);

stat_tap_table_item columns[kColumns] = {
    {TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "Source", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "Destination", "%s"},
    {TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Session ID", "%u"},
    {TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "Codec", "%s"},
    {TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Packets", "%u"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Drift (ppm)", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "PDV 99% (ms)", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "PDV 99.9% (ms)", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Fixed Late", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Fixed MOS", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Fixed 200 Late", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Fixed 200 MOS", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Adaptive Late", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Adaptive Delay (ms)", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Adaptive MOS", "%s"},
};

constexpr const char* kTableName = "SimpleKestrune Receivers";
// The larger fixed buffer beside the preference's.
constexpr double kLargeBufferMs = 200;
// A segment of the delay variation when the score intervals are off.
constexpr double kSegmentMs = 10000;

// The text cells from kDrift on, each formatted again only when its value
// changes.
constexpr unsigned kFirstText = kDrift;

// What a stream of more than one packet needs, made on its second.
struct Receivers {
    ScoredStream stream;  // its fixed receiver is every other table's
    FixedReceiver large;
    AdaptiveReceiver adaptive;
    DriftEstimate drift;
    DelayVariation variation{kSegmentMs};
    NumberText text[kColumns - kFirstText];
};

struct TableStream {
    unsigned row = 0;
    // The first packet, until a second one comes.
    bool has_first = false;
    ScoredStream::Capture first{};
    SimplePacketHeader first_header{};
    std::unique_ptr<Receivers> receivers;
};

// The host shares one table among every window showing it, so the streams
// behind it are shared too.
StreamMap<TableStream> streams;

const char* codec_text(int codec) {
    return codec == StreamAnalysis::kMixedCodecs
               ? "mixed"
               : val_to_str_const(static_cast<unsigned>(codec), codec_type_names, "Unknown");
}

// A cell of the text columns: the value to the decimals, or empty.
void show(stat_tap_table_item_type* row, Receivers& r, unsigned column, std::optional<double> value,
          int decimals) {
    NumberText& text = r.text[column - kFirstText];
    set_string(row[column], value ? text.show(*value, decimals, 8) : text.empty());
}

void show_score(stat_tap_table_item_type* row, Receivers& r, unsigned late_column,
                unsigned mos_column, const ReceiverFigures& figures, bool has_clock) {
    const StreamAnalysis& a = r.stream.analysis();
    const auto score = stream_score(a, figures, score_preferences.network_delay_ms);
    show(row, r, late_column, has_clock ? std::optional<double>(figures.late) : std::nullopt, 0);
    show(row, r, mos_column, score ? std::optional<double>(score->mos) : std::nullopt, 2);
}

void fill_row(stat_tap_table_item_type* row, Receivers& r) {
    const StreamAnalysis& a = r.stream.analysis();
    set_string(row[kCodec], codec_text(a.codec()));
    set_uint(row[kPackets], a.packets());
    show(row, r, kDrift, r.drift.reliable() ? std::optional<double>(r.drift.ppm()) : std::nullopt,
         0);
    show(row, r, kPdv99, r.variation.quantile(0.99), 1);
    show(row, r, kPdv999, r.variation.quantile(0.999), 1);
    const FixedReceiver& fixed = r.stream.fixed();
    show_score(row, r, kFixedLate, kFixedMos, fixed.figures(), fixed.has_clock());
    show_score(row, r, kFixed200Late, kFixed200Mos, r.large.figures(), r.large.has_clock());
    const ReceiverFigures adaptive = r.adaptive.figures();
    show_score(row, r, kAdaptiveLate, kAdaptiveMos, adaptive, r.adaptive.has_clock());
    show(row, r, kAdaptiveDelay,
         r.adaptive.has_clock() ? std::optional<double>(adaptive.delay_ms) : std::nullopt, 1);
}

// The row of a stream of one packet: its codec and count, the rest empty.
void fill_first_row(stat_tap_table_item_type* row, const SimplePacketHeader& h) {
    set_string(row[kCodec], codec_text(h.codec_type));
    set_uint(row[kPackets], 1);
    for (unsigned c = kFirstText; c < kColumns; ++c) {
        set_string(row[c], "");
    }
}

// One packet through the stream's receivers.
void observe(Receivers& r, const ScoredStream::Capture& c, const SimplePacketHeader& h) {
    const PipelineStep step = r.stream.observe(c, h, {nullptr, nullptr});
    const StreamAnalysis& a = r.stream.analysis();
    const DelayTrack& track = r.stream.pipeline.track();
    r.large.observe(a, track, step.delay, kLargeBufferMs);
    r.adaptive.observe(a, track, step.delay);
    if (a.packets() == 1) {
        const double interval_ms = score_preferences.interval_s * 1000.0;
        r.variation = DelayVariation(interval_ms > 0 ? interval_ms : kSegmentMs);
    }
    if (step.delay.has_delay && !step.fixed.duplicate) {
        r.drift.add(a.media_time_ms(), step.delay.delay_ms);
        r.variation.add(a.media_time_ms(), step.delay.delay_ms, r.drift);
    }
}

// The GUI resets before each (re)read; the rows stay, as in the stream
// table, and their streams start again from none.
void reset_table(stat_tap_table* table) {
    for (auto& entry : streams) {
        TableStream& s = entry.second;
        s.receivers.reset();
        s.has_first = false;
        stat_tap_table_item_type* row = stat_tap_get_field_data(table, s.row, 0);
        set_string(row[kCodec], "");
        set_uint(row[kPackets], 0);
        for (unsigned c = kFirstText; c < kColumns; ++c) {
            set_string(row[c], "");
        }
    }
}

void init_table(stat_tap_table_ui* ui) {
    if (find_stat_table(ui, kTableName) != nullptr) {
        return;
    }
    streams.clear();
    stat_tap_add_table(ui, stat_tap_init_table(kTableName, kColumns, 0, nullptr));
}

TableStream& new_stream(stat_tap_table* table, const StreamKey& key) {
    TableStream& s = streams.add(key);
    s.row = table->num_elements;
    stat_tap_table_item_type cells[kColumns] = {};
    set_endpoint_cells(cells[kSource], cells[kDestination], key);
    set_uint(cells[kSessionId], key.session_id);
    stat_tap_init_table_row(table, s.row, kColumns, cells);
    return s;
}

// The host's callback type fixes the parameters; cppcheck cannot see it
// through tap_callback<>.
// cppcheck-suppress constParameterPointer
tap_packet_status receivers_packet(void* tapdata, packet_info* pinfo, epan_dissect_t* /*edt*/,
                                   const void* data, tap_flags /*flags*/) {
    stat_tap_table* table = first_table(tapdata);
    if (table == nullptr) {
        return TAP_PACKET_DONT_REDRAW;
    }
    const auto* p = static_cast<const TappedPacket*>(data);
    const StreamKey key = stream_key_of(*p);
    TableStream* s = streams.find(key);
    if (s == nullptr) {
        s = &new_stream(table, key);
    }
    const ScoredStream::Capture capture = capture_of(pinfo);
    stat_tap_table_item_type* row = stat_tap_get_field_data(table, s->row, 0);
    if (!s->has_first) {
        s->has_first = true;
        s->first = capture;
        s->first_header = p->header;
        fill_first_row(row, p->header);
        return TAP_PACKET_REDRAW;
    }
    if (!s->receivers) {
        s->receivers = std::make_unique<Receivers>();
        observe(*s->receivers, s->first, s->first_header);
    }
    observe(*s->receivers, capture, p->header);
    fill_row(row, *s->receivers);
    return TAP_PACKET_REDRAW;
}

stat_tap_table_ui receivers_table_ui = {
    kPacketStatGroup,
    kTableName,
    "simplekestrune",            // tap
    "simplekestrune,receivers",  // -z
    init_table,
    tap_callback<receivers_packet>,
    reset_table,
    free_endpoint_cell,
    nullptr,  // any display filter will do
    kColumns,
    columns,
    0,
    nullptr,
    nullptr,
    0,
};

}  // namespace

void register_receivers_table() {
    register_stat_tap_table_ui(&receivers_table_ui);
}

}  // namespace kestrune
