// SPDX-License-Identifier: GPL-2.0-or-later
//
// The media stream table, one row per stream, like the host's RTP stream
// list. It is a table of the host's own kind (register_stat_tap_table_ui):
// one definition answers `tshark -z simplekestrune,streams` and appears in
// the GUI's Statistics menu. Rows are added as streams turn up; the host
// prints and shows any number of them, and float and string cells. A cell
// of type TABLE_ITEM_NONE shows empty in the GUI, and tshark ends the row at
// it, so the cells that can be empty (max delta, jitter, the score) are the
// last ones, in the order in which they become known. The worst interval's
// cells and the audio level's came later: they are text, empty when
// unknown, as in the calls table.
//
// Runs from the tap, after dissection, so ordinary C++ containers are safe
// here. The table's cells are kept current with every packet, because the
// GUI may redraw between any two packets.
#include "stream_table.h"

#include <epan/packet.h>  // stat_tap_ui.h needs glib first on 4.0
#include <epan/stat_tap_ui.h>

#include <cstdint>
#include <optional>

#include "analysis/audio_level.h"
#include "analysis/quality_score.h"
#include "analysis/stream_analysis.h"
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
    kLost,
    kLostPercent,
    kDuplicates,
    kOutOfOrder,
    kStart,
    kDuration,
    kMaxDelta,
    kMaxDeltaFrame,
    kMeanJitter,
    kMaxJitter,
    kLate,
    kRFactor,
    kMos,
    kMosMin,
    kMosMinAt,
    kLevel,
    kSilentPercent,
    kClippedPercent,
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
    {TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Lost", "%u"},
    {TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "Lost (%)", "%.1f"},
    {TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Duplicates", "%u"},
    {TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Out of Order", "%u"},
    {TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "Start (s)", "%.6f"},
    {TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "Duration (s)", "%.6f"},
    {TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "Max Delta (ms)", "%.3f"},
    {TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Max Delta Frame", "%u"},
    {TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "Mean Jitter (ms)", "%.3f"},
    {TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "Max Jitter (ms)", "%.3f"},
    {TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Late", "%u"},
    {TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "R Factor", "%.1f"},
    {TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "MOS", "%.2f"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "MOS min", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "MOS min at (s)", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Level (dBov)", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Silent (%)", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Clipped (%)", "%s"},
};

constexpr const char* kTableName = "SimpleKestrune Streams";

struct TableStream {
    unsigned row = 0;
    ScoredStream stream;
    NumberText mos_min;
    NumberText mos_min_at;
    NumberText level;
    NumberText silent;
    NumberText clipped;
};

// The host shares one table among every window showing it, so the streams
// behind it are shared too.
StreamMap<TableStream> streams;

// Empty while nothing of the stream was decoded.
void fill_level(stat_tap_table_item_type* row, TableStream& t,
                const std::optional<LevelFigures>& level) {
    if (!level) {
        set_string(row[kLevel], t.level.empty());
        set_string(row[kSilentPercent], t.silent.empty());
        set_string(row[kClippedPercent], t.clipped.empty());
        return;
    }
    set_string(row[kLevel], t.level.show(level->level_dbov, 1, 6));
    set_string(row[kSilentPercent], t.silent.show(level->silent_percent, 1, 5));
    set_string(row[kClippedPercent], t.clipped.show(level->clipped_percent, 2, 6));
}

void fill_row(stat_tap_table_item_type* row, TableStream& t) {
    const ScoredStream& s = t.stream;
    const StreamAnalysis& a = s.analysis();
    const SequenceTracker& q = a.sequence();
    set_string(row[kCodec], a.codec() == StreamAnalysis::kMixedCodecs
                                ? "mixed"
                                : val_to_str_const(a.codec(), codec_type_names, "Unknown"));
    set_uint(row[kPackets], a.packets());
    set_uint(row[kLost], q.missing());
    set_float(row[kLostPercent], a.lost_percent());
    set_uint(row[kDuplicates], q.duplicates());
    set_uint(row[kOutOfOrder], q.out_of_order());
    set_float(row[kStart], s.start_s);
    set_float(row[kDuration], a.duration_ms() / 1000);
    row[kMaxDelta].type = row[kMaxDeltaFrame].type = TABLE_ITEM_NONE;
    row[kMeanJitter].type = row[kMaxJitter].type = TABLE_ITEM_NONE;
    row[kLate].type = row[kRFactor].type = row[kMos].type = TABLE_ITEM_NONE;
    if (a.has_delta()) {
        set_float(row[kMaxDelta], a.max_delta_ms());
        set_uint(row[kMaxDeltaFrame], a.max_delta_frame());
    }
    if (a.has_jitter()) {
        set_float(row[kMeanJitter], a.mean_jitter_ms());
        set_float(row[kMaxJitter], a.max_jitter_ms());
    }
    if (s.fixed().has_clock()) {
        set_uint(row[kLate], s.fixed().late());
    }
    if (const auto score =
            stream_score(a, s.fixed().figures(), score_preferences.network_delay_ms)) {
        set_float(row[kRFactor], score->r);
        set_float(row[kMos], score->mos);
    }
    const std::optional<WorstInterval> worst = s.worst();
    set_string(row[kMosMin], worst ? t.mos_min.show(worst->mos, 2, 4) : t.mos_min.empty());
    set_string(row[kMosMinAt],
               worst ? t.mos_min_at.show(worst->start_s, 2, 9) : t.mos_min_at.empty());
    fill_level(row, t, s.level_figures());
}

// The GUI resets before each (re)read. Every window showing the table points
// at its rows, and only the one being reread forgets them, so the rows stay
// (as the rows of the host's own tables do) until the host frees the table
// with its last window: a stream keeps its row and starts again from none.
void reset_table(stat_tap_table* table) {
    for (auto& entry : streams) {
        TableStream& s = entry.second;
        s.stream = ScoredStream{};
        stat_tap_table_item_type* row = stat_tap_get_field_data(table, s.row, 0);
        for (unsigned c = kCodec; c < kColumns; ++c) {
            row[c].type = TABLE_ITEM_NONE;
        }
        set_uint(row[kPackets], 0);
        set_string(row[kMosMin], s.mos_min.empty());
        set_string(row[kMosMinAt], s.mos_min_at.empty());
        fill_level(row, s, std::nullopt);
    }
}

void init_table(stat_tap_table_ui* ui) {
    if (find_stat_table(ui, kTableName) != nullptr) {
        return;
    }
    // A new table (the first, or the last window closed and freed the old).
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
tap_packet_status stream_packet(void* tapdata, packet_info* pinfo, epan_dissect_t* /*edt*/,
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
    s->stream.hear(*p, s->stream.observe(capture_of(pinfo), p->header).fixed);
    fill_row(stat_tap_get_field_data(table, s->row, 0), *s);
    return TAP_PACKET_REDRAW;
}

stat_tap_table_ui stream_table_ui = {
    kPacketStatGroup,
    kTableName,
    "simplekestrune",          // tap
    "simplekestrune,streams",  // -z
    init_table,
    tap_callback<stream_packet>,
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

void register_stream_table() {
    register_stat_tap_table_ui(&stream_table_ui);
}

}  // namespace kestrune
