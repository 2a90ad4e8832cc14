// SPDX-License-Identifier: GPL-2.0-or-later
//
// The intervals table: each stream's score interval by interval, a row per
// interval as soon as it has a slot, its cells kept current while it is
// open and fixed when the stream's next packet after its end closes it. A
// table of the host's own kind, like the stream table.
//
// Max jitter, R and MOS can be unknown, so they are text (tshark ends a row
// at its first empty cell). The host's cells point at the texts until it
// frees the table. R and MOS take few values: one text per value, shared
// by every row that shows it. A jitter is nearly always a value of its own:
// 12 bytes a row, in blocks.
//
// Runs from the tap, after dissection, so ordinary C++ containers are safe.
#include "interval_table.h"

#include <epan/packet.h>  // stat_tap_ui.h needs glib first on 4.0
#include <epan/stat_tap_ui.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "analysis/interval_score.h"
#include "dissector/host_compat.h"
#include "dissector/tapped_packet.h"
#include "scored_stream.h"
#include "stream_key.h"
#include "table_cells.h"

namespace kestrune {
namespace {

enum Column : std::uint8_t {
    kStream,
    kSessionId,
    kStart,
    kPackets,
    kExpected,
    kLost,
    kLostPercent,
    kLate,
    kMaxJitter,
    kRFactor,
    kMos,
    kColumns
};

stat_tap_table_item columns[kColumns] = {
    {TABLE_ITEM_STRING, TAP_ALIGN_LEFT, "Stream", "%s"},
    {TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Session ID", "%u"},
    {TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "Start (s)", "%.3f"},
    {TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Packets", "%u"},
    {TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Expected", "%u"},
    {TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Lost", "%u"},
    {TABLE_ITEM_FLOAT, TAP_ALIGN_RIGHT, "Lost (%)", "%.1f"},
    {TABLE_ITEM_UINT, TAP_ALIGN_RIGHT, "Late", "%u"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "Max Jitter (ms)", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "R Factor", "%s"},
    {TABLE_ITEM_STRING, TAP_ALIGN_RIGHT, "MOS", "%s"},
};

constexpr const char* kTableName = "SimpleKestrune Intervals";

// One text per value shown, for as long as the table lives.
class SharedTexts {
public:
    static long long key(double value, int decimals) {
        static constexpr double kScale[] = {1, 10, 100, 1000};
        return std::llround(value * kScale[decimals]);
    }
    // The text of a value as key() rounded it.
    const char* number(long long shown, int decimals, int width) {
        static constexpr double kScale[] = {1, 10, 100, 1000};
        std::string& text = texts_[decimals][shown];
        if (text.empty()) {
            char buffer[32];
            (void)std::snprintf(buffer, sizeof buffer, "%*.*f", width, decimals,
                                static_cast<double>(shown) / kScale[decimals]);
            text = buffer;
        }
        return text.c_str();
    }
    void clear() {
        for (auto& t : texts_) {
            t.clear();
        }
    }

private:
    std::unordered_map<long long, std::string> texts_[4];  // by decimals
};

// The max jitter text of each row, 12 bytes, for as long as the table
// lives: rewritten in place while the row's interval is open, and by the
// row's next interval when the capture is read again.
class JitterTexts {
public:
    static constexpr std::size_t kSize = 12;

    char* of_row(unsigned row) {
        while (row / kBlock >= blocks_.size()) {
            blocks_.emplace_back(new char[kBlock * kSize]);
        }
        return &blocks_[row / kBlock][kSize * (row % kBlock)];
    }
    void clear() { blocks_.clear(); }

private:
    static constexpr std::size_t kBlock = 1024;
    std::vector<std::unique_ptr<char[]>> blocks_;
};

// A jitter in ms, right-aligned to 8 characters with 3 decimals as in the
// other tables; a value too large for its 12 bytes in 4 significant digits.
void write_jitter(char* text, double ms) {
    const int n = std::snprintf(text, JitterTexts::kSize, "%8.3f", ms);
    if (n < 0 || static_cast<std::size_t>(n) >= JitterTexts::kSize) {
        (void)std::snprintf(text, JitterTexts::kSize, "%8.4g", ms);
    }
}

struct IntervalStream {
    std::string endpoints;  // shared by the stream's rows
    ScoredStream stream;
    // The rows of the intervals still open, by interval, and their max
    // jitter texts.
    struct OpenRow {
        std::int64_t index;
        unsigned row;
        char* jitter;
        // What the row shows, to leave it alone while its figures stay.
        unsigned expected;
        unsigned played;
        unsigned late;
        double max_jitter_ms;
        double delay_ms;
        bool filled;
        bool jitter_written;
        long long r_key;
        long long mos_key;
        const char* r_text;
        const char* mos_text;
    };
    std::vector<OpenRow> open_rows;
};

StreamMap<IntervalStream> streams;
SharedTexts texts;
JitterTexts jitter_texts;
// Rows are taken in order; a reread starts again from the first and leaves
// the ones it does not need empty (every window showing the table points at
// them).
unsigned next_row = 0;

// What the MOS cell says of an interval without a score.
const char* no_score_reason(const IntervalFigures& f) {
    if (f.codec == IntervalFigures::kNoVoice) {
        return "no voice";
    }
    if (f.codec == StreamAnalysis::kMixedCodecs) {
        return "mixed codecs";
    }
    return "no figures";  // Vocantis, Transparent
}

// Whether a row shows these figures already: a packet changes one interval,
// and the others' rows are left alone.
bool is_shown(const IntervalStream::OpenRow& shown, const IntervalFigures& f, double delay) {
    return shown.filled && shown.expected == f.expected && shown.played == f.played &&
           shown.late == f.late && shown.max_jitter_ms == f.max_jitter_ms &&
           shown.delay_ms == delay;
}

// The row of an interval; the GUI may redraw after any packet, so the rows
// of the open ones are kept current.
void fill_row(stat_tap_table* table, const IntervalStream& s, const IntervalFigures& f,
              IntervalStream::OpenRow& shown) {
    const double delay = s.stream.delay_ms();
    // The jitter text is written again only when its value changed.
    const bool write =
        f.has_jitter && (!shown.jitter_written || shown.max_jitter_ms != f.max_jitter_ms);
    shown.filled = true;
    shown.expected = f.expected;
    shown.played = f.played;
    shown.late = f.late;
    shown.max_jitter_ms = f.max_jitter_ms;
    shown.delay_ms = delay;
    stat_tap_table_item_type* row = stat_tap_get_field_data(table, shown.row, 0);
    set_float(row[kStart], s.stream.interval_start_s(f));
    set_uint(row[kPackets], f.packets());
    set_uint(row[kExpected], f.expected);
    set_uint(row[kLost], f.lost());
    set_float(row[kLostPercent], f.lost_percent());
    set_uint(row[kLate], f.late);
    if (write) {
        write_jitter(shown.jitter, f.max_jitter_ms);
        shown.jitter_written = true;
    }
    set_string(row[kMaxJitter], f.has_jitter ? shown.jitter : "");
    const auto score = interval_score(f, delay);
    if (score) {
        const long long r = SharedTexts::key(score->r, 1);
        const long long mos = SharedTexts::key(score->mos, 2);
        if (shown.r_text == nullptr || r != shown.r_key) {
            shown.r_key = r;
            shown.r_text = texts.number(r, 1, 5);
        }
        if (shown.mos_text == nullptr || mos != shown.mos_key) {
            shown.mos_key = mos;
            shown.mos_text = texts.number(mos, 2, 4);
        }
    }
    set_string(row[kRFactor], score ? shown.r_text : "");

    set_string(row[kMos], score ? shown.mos_text : no_score_reason(f));
}

IntervalStream::OpenRow& row_of(stat_tap_table* table, IntervalStream& s, const StreamKey& key,
                                std::int64_t index) {
    const auto open = std::find_if(s.open_rows.begin(), s.open_rows.end(),
                                   [index](const auto& o) { return o.index == index; });
    if (open != s.open_rows.end()) {
        return *open;
    }
    const unsigned row = next_row++;
    stat_tap_table_item_type cells[kColumns] = {};
    set_string(cells[kStream], s.endpoints.c_str());
    set_uint(cells[kSessionId], key.session_id);
    stat_tap_init_table_row(table, row, kColumns, cells);
    IntervalStream::OpenRow open_row{};
    open_row.index = index;
    open_row.row = row;
    open_row.jitter = jitter_texts.of_row(row);
    return s.open_rows.emplace_back(open_row);
}

void reset_table(stat_tap_table* table) {
    for (unsigned r = 0; r < table->num_elements; ++r) {
        stat_tap_table_item_type* row = stat_tap_get_field_data(table, r, 0);
        for (unsigned c = 0; c < kColumns; ++c) {
            row[c].type = TABLE_ITEM_NONE;
        }
    }
    for (auto& entry : streams) {
        entry.second.stream = ScoredStream{};
        entry.second.open_rows.clear();
    }
    next_row = 0;
}

void init_table(stat_tap_table_ui* ui) {
    if (find_stat_table(ui, kTableName) != nullptr) {
        return;
    }
    streams.clear();
    texts.clear();
    jitter_texts.clear();
    next_row = 0;
    stat_tap_add_table(ui, stat_tap_init_table(kTableName, kColumns, 0, nullptr));
}

struct Update {
    stat_tap_table* table;
    IntervalStream* stream;
    const StreamKey* key;
};

void interval_closed(void* context, const IntervalFigures& f) {
    auto& u = *static_cast<Update*>(context);
    IntervalStream& s = *u.stream;
    fill_row(u.table, s, f, row_of(u.table, s, *u.key, f.index));
    s.open_rows.erase(std::remove_if(s.open_rows.begin(), s.open_rows.end(),
                                     [&f](const auto& o) { return o.index == f.index; }),
                      s.open_rows.end());
}

// cppcheck-suppress constParameterPointer
tap_packet_status interval_packet(void* tapdata, packet_info* pinfo, epan_dissect_t* /*edt*/,
                                  const void* data, tap_flags /*flags*/) {
    stat_tap_table* table = first_table(tapdata);
    if (table == nullptr) {
        return TAP_PACKET_DONT_REDRAW;
    }
    const auto* p = static_cast<const TappedPacket*>(data);
    const StreamKey key = stream_key_of(*p);
    IntervalStream* s = streams.find(key);
    if (s == nullptr) {
        s = &streams.add(key);
        s->endpoints = endpoint_text(key.src, key.src_port) + " \u2192 " +
                       endpoint_text(key.dst, key.dst_port);
    }
    Update update{table, s, &key};
    s->stream.observe(capture_of(pinfo), p->header, {&update, interval_closed});
    const IntervalScorer* intervals = s->stream.intervals();
    if (intervals == nullptr) {
        return TAP_PACKET_DONT_REDRAW;  // the intervals are off
    }
    for (unsigned i = 0; i < intervals->open_count(); ++i) {
        const IntervalFigures& counts = intervals->open_counts(i);
        IntervalStream::OpenRow& row = row_of(table, *s, key, counts.index);
        if (!is_shown(row, counts, s->stream.delay_ms())) {
            fill_row(table, *s, intervals->open_figures(i), row);
        }
    }
    return TAP_PACKET_REDRAW;
}

stat_tap_table_ui interval_table_ui = {
    kPacketStatGroup,
    kTableName,
    "simplekestrune",            // tap
    "simplekestrune,intervals",  // -z
    init_table,
    tap_callback<interval_packet>,
    reset_table,
    nullptr,  // the cells' texts belong to the streams and the shared texts
    nullptr,  // any display filter will do
    kColumns,
    columns,
    0,
    nullptr,
    nullptr,
    0,
};

}  // namespace

void register_interval_table() {
    register_stat_tap_table_ui(&interval_table_ui);
}

}  // namespace kestrune
