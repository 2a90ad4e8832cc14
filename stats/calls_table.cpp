// SPDX-License-Identifier: GPL-2.0-or-later
//
// The calls table: a call is the pair of streams (A:a → B:b, session S)
// and (B:b → A:a, session S), A being the side whose packet came first; a
// stream whose reverse never turns up is a one-way call. A table of the
// host's own kind, like the stream table, in the GUI's Telephony menu.
//
// Many cells of a row can be unknown (the second direction of a one-way
// call, the jitter or score of a direction without voice) and tshark ends a
// row at its first empty cell, leaving out every cell after it. So the
// cells that can be empty are text: numbers are written right-aligned to a
// fixed width, so that they also sort by value in the GUI, and only when
// their shown value changes.
//
// Runs from the tap, after dissection, so ordinary C++ containers are safe
// here. The cells are kept current with every packet, because the GUI may
// redraw between any two packets.
#include "calls_table.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>

#include "analysis/quality_score.h"
#include "analysis/stream_analysis.h"
#include "call_pairing.h"
#include "dissector/host_compat.h"
#include "dissector/score_preferences.h"
#include "dissector/tapped_packet.h"
#include "dissector/value_names.h"
#include "number_text.h"
#include "scored_stream.h"
#include "stream_key.h"
#include "table_cells.h"

namespace kestrune {
namespace {

// The cells of one direction, from its first column.
enum DirectionColumn : std::uint8_t {
    kCodec,
    kPackets,
    kLostPercent,
    kMaxJitter,
    kMos,
    kDirectionColumns
};

enum Column : std::uint8_t {
    kEndpointA = 0,
    kEndpointB = 1,
    kSessionId = 2,
    kStart = 3,
    kDuration = 4,
    kForward = 5,                             // A → B
    kReverse = kForward + kDirectionColumns,  // B → A
    kOneWay = kReverse + kDirectionColumns,
    kForwardMosMin = kOneWay + 1,  // added after the first columns
    kReverseMosMin = kForwardMosMin + 1,
    kForwardSilent = kReverseMosMin + 1,
    kReverseSilent = kForwardSilent + 1,
    kColumns = kReverseSilent + 1
};

stat_tap_table_item columns[kColumns] = {
    {TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "Endpoint A", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "Endpoint B", "%s"},
    {TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Session ID", "%u"},
    {TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "Start (s)", "%.6f"},
    {TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "Duration (s)", "%.6f"},
    {TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "A\u2192B Codec", "%s"},
    {TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "A\u2192B Packets", "%u"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "A\u2192B Lost (%)", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "A\u2192B Max Jitter (ms)", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "A\u2192B MOS", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "B\u2192A Codec", "%s"},
    {TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "B\u2192A Packets", "%u"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "B\u2192A Lost (%)", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "B\u2192A Max Jitter (ms)", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "B\u2192A MOS", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "One-way", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "A\u2192B MOS min", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "B\u2192A MOS min", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "A\u2192B Silent (%)", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "B\u2192A Silent (%)", "%s"},
};

constexpr const char* kTableName = "SimpleKestrune Calls";

struct Direction : ScoredStream {
    NumberText lost;
    NumberText jitter;
    NumberText mos;
    NumberText mos_min;
    NumberText silent;
};

struct Call {
    unsigned row = 0;
    Direction way[2];  // A → B, B → A
};

// The host shares one table among every window showing it, so the calls
// behind it are shared too. A deque: the cells point into its calls.
std::deque<Call> calls;
CallPairing<Call> streams;

void fill_direction(stat_tap_table_item_type* row, Direction& d, unsigned direction) {
    stat_tap_table_item_type* cell = row + (direction == 0 ? kForward : kReverse);
    const StreamAnalysis& a = d.analysis();
    const std::optional<WorstInterval> worst = d.worst();
    set_string(row[direction == 0 ? kForwardMosMin : kReverseMosMin],
               worst ? d.mos_min.show(worst->mos, 2, 4) : d.mos_min.empty());
    const std::optional<double> silent = d.silent_percent();
    set_string(row[direction == 0 ? kForwardSilent : kReverseSilent],
               silent ? d.silent.show(*silent, 1, 5) : d.silent.empty());
    set_uint(cell[kPackets], a.packets());
    if (a.packets() == 0) {
        set_string(cell[kCodec], "");
        set_string(cell[kLostPercent], d.lost.empty());
        set_string(cell[kMaxJitter], d.jitter.empty());
        set_string(cell[kMos], d.mos.empty());
        return;
    }
    set_string(cell[kCodec], a.codec() == StreamAnalysis::kMixedCodecs
                                 ? "mixed"
                                 : val_to_str_const(a.codec(), codec_type_names, "Unknown"));
    set_string(cell[kLostPercent], d.lost.show(a.lost_percent(), 1, 5));
    set_string(cell[kMaxJitter],
               a.has_jitter() ? d.jitter.show(a.max_jitter_ms(), 3, 8) : d.jitter.empty());
    const auto score = stream_score(a, d.fixed().figures(), score_preferences.network_delay_ms);
    set_string(cell[kMos], score ? d.mos.show(score->mos, 2, 4) : d.mos.empty());
}

// Packets both ways, but only one carries sound: both directions' levels
// are known and one is almost all silence while the other is not.
bool one_way_audio(const Call& c) {
    constexpr double kSilentCall = 95;
    const std::optional<double> forward = c.way[0].silent_percent();
    const std::optional<double> reverse = c.way[1].silent_percent();
    if (!forward || !reverse) {
        return false;
    }
    return (*forward >= kSilentCall) != (*reverse >= kSilentCall);
}

// Start, duration and one-way, from the directions that have packets.
void fill_call(stat_tap_table_item_type* row, const Call& c) {
    const bool heard[2] = {c.way[0].analysis().packets() != 0, c.way[1].analysis().packets() != 0};
    if (!heard[0] && !heard[1]) {
        row[kStart].type = row[kDuration].type = row[kOneWay].type = TABLE_ITEM_NONE;
        return;
    }
    const Direction& first =
        heard[0] && (!heard[1] || c.way[0].start_s <= c.way[1].start_s) ? c.way[0] : c.way[1];
    double end = first.end_s();
    for (unsigned i = 0; i < 2; ++i) {
        if (heard[i] && c.way[i].end_s() > end) {
            end = c.way[i].end_s();
        }
    }
    set_float(row[kStart], first.start_s);
    set_float(row[kDuration], end - first.start_s);
    const char* one_way = "yes";
    if (heard[0] && heard[1]) {
        one_way = one_way_audio(c) ? "audio" : "no";
    }
    set_string(row[kOneWay], one_way);
}

// As the stream table: the rows stay, with their endpoints, and start again
// from no packets when the GUI reads the capture again.
void reset_table(stat_tap_table* table) {
    for (Call& c : calls) {
        stat_tap_table_item_type* row = stat_tap_get_field_data(table, c.row, 0);
        for (unsigned i = 0; i < 2; ++i) {
            Direction& d = c.way[i];
            static_cast<ScoredStream&>(d) = ScoredStream{};
            fill_direction(row, d, i);
        }
        fill_call(row, c);
    }
}

void init_table(stat_tap_table_ui* ui) {
    if (find_stat_table(ui, kTableName) != nullptr) {
        return;
    }
    streams.clear();
    calls.clear();
    stat_tap_add_table(ui, stat_tap_init_table(kTableName, kColumns, 0, nullptr));
}

// A new call, with this stream's source as A, and its row.
Call& new_call(stat_tap_table* table, const StreamKey& key) {
    Call& c = calls.emplace_back();
    c.row = table->num_elements;
    stat_tap_table_item_type cells[kColumns] = {};
    set_endpoint_cells(cells[kEndpointA], cells[kEndpointB], key);
    set_uint(cells[kSessionId], key.session_id);
    for (unsigned i = 0; i < 2; ++i) {
        fill_direction(cells, c.way[i], i);
    }
    stat_tap_init_table_row(table, c.row, kColumns, cells);
    return c;
}

tap_packet_status call_packet(void* tapdata, packet_info* pinfo, epan_dissect_t* /*edt*/,
                              const void* data, tap_flags /*flags*/) {
    stat_tap_table* table = first_table(tapdata);
    if (table == nullptr) {
        return TAP_PACKET_DONT_REDRAW;
    }
    const auto* p = static_cast<const TappedPacket*>(data);
    const auto& s = streams.side(
        stream_key_of(*p), [table](const StreamKey& key) -> Call& { return new_call(table, key); });
    Direction& d = s.call->way[s.direction];
    d.hear(*p, d.observe(capture_of(pinfo), p->header).fixed);
    stat_tap_table_item_type* row = stat_tap_get_field_data(table, s.call->row, 0);
    fill_direction(row, d, s.direction);
    fill_call(row, *s.call);
    return TAP_PACKET_REDRAW;
}

stat_tap_table_ui calls_table_ui = {
    kTelephonyStatGroup,
    kTableName,
    "simplekestrune",        // tap
    "simplekestrune,calls",  // -z
    init_table,
    tap_callback<call_packet>,
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

void register_calls_table() {
    register_stat_tap_table_ui(&calls_table_ui);
}

}  // namespace kestrune
