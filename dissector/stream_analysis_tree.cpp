// SPDX-License-Identifier: GPL-2.0-or-later
//
// On the dissection path: host calls and plain values only.
#include "stream_analysis_tree.h"

#include <epan/expert.h>

#include <algorithm>
#include <cmath>
#include <iterator>

#include "analysis/stream_analysis.h"
#include "analysis_expert.h"
#include "identifiers.h"
#include "score_preferences.h"
#include "value_names.h"

namespace kestrune {
namespace {

using Verdict = SequenceTracker::Verdict;

proto_item* add_generated_uint(proto_tree* tree, int hf, tvbuff_t* tvb, unsigned value) {
    proto_item* ti = proto_tree_add_uint(tree, hf, tvb, 0, 0, value);
    proto_item_set_generated(ti);
    return ti;
}

void add_generated_ms(proto_tree* tree, int hf, tvbuff_t* tvb, double ns) {
    proto_item_set_generated(proto_tree_add_double(tree, hf, tvb, 0, 0, ns / 1e6));
}

const char* codec_name(unsigned codec) {
    return val_to_str_const(codec, codec_type_names, "Unknown");
}

// Whether the host would make any of the analysis's items. In a tree that
// is not shown it fakes an item that no filter, column or field names (it
// hands back the tree it would go under), so where none is named none is
// made, and the expert information goes on that tree as it would have.
bool items_are_made(proto_tree* tree) {
    const int fields[] = {hf_stream_analysis,
                          hf_stream_index,
                          hf_analysis_delta,
                          hf_analysis_jitter,
                          hf_analysis_expected_sequence,
                          hf_analysis_lost,
                          hf_analysis_interval,
                          hf_analysis_interval_mos,
                          hf_analysis_interval_r,
                          hf_analysis_interval_lost_percent,
                          hf_analysis_interval_max_jitter,
                          hf_analysis_delay,
                          hf_analysis_resyncs};
    return std::any_of(std::begin(fields), std::end(fields),
                       [tree](int hf) { return proto_field_is_referenced(tree, hf) != 0; });
}

// Adds the entry with its registered summary where only its severity
// counts, and nothing where no one would see it; true where its own text is
// kept, for the caller to add it formatted.
bool entry_needs_text(proto_tree* tree, packet_info* pinfo, proto_item* ti, expert_field* ei) {
    switch (expert_use(tree, pinfo, *ei)) {
        case ExpertUse::Text:
            return true;
        case ExpertUse::Summary:
            expert_add_info(pinfo, ti, ei);
            return false;
        case ExpertUse::Skip:
            break;
    }
    return false;
}

// A float of an interval's record, to the 4 decimals it is good for: 21.2
// rather than 21.2000007629395.
void add_generated_double(proto_tree* tree, int hf, tvbuff_t* tvb, float value) {
    const double rounded = std::round(static_cast<double>(value) * 1e4) / 1e4;
    proto_item_set_generated(proto_tree_add_double(tree, hf, tvb, 0, 0, rounded));
}

// The intervals the packet closed: an "Interval" item each, for filters and
// I/O graphs, and a note for one scored below the preference.
void add_closed_intervals(proto_tree* analysis, bool items, tvbuff_t* tvb, packet_info* pinfo,
                          const FrameAnalysis& r) {
    // Without items only a note can come of it: not worth looking the
    // intervals up where nobody would see one.
    if (!items && expert_use(analysis, pinfo, ei_interval_low_mos) == ExpertUse::Skip) {
        return;
    }
    const double warn_below = warn_below_mos();
    const double length_s = closed_interval_length_s();
    for (unsigned n = 0;; ++n) {
        const IntervalRecord* rec = closed_interval(r, n);
        if (rec == nullptr) {
            return;
        }
        const double end_s = rec->start_s + length_s;
        proto_item* ti = analysis;
        if (items) {
            ti = rec->has(IntervalRecord::kHasScore)
                     ? proto_tree_add_none_format(analysis, hf_analysis_interval, tvb, 0, 0,
                                                  "Interval from %.2f s to %.2f s: MOS %.2f",
                                                  rec->start_s, end_s, rec->mos)
                     : proto_tree_add_none_format(analysis, hf_analysis_interval, tvb, 0, 0,
                                                  "Interval from %.2f s to %.2f s: no score",
                                                  rec->start_s, end_s);
            proto_item_set_generated(ti);
            proto_tree* interval = proto_item_add_subtree(ti, ett_analysis_interval);
            if (rec->has(IntervalRecord::kHasScore)) {
                add_generated_double(interval, hf_analysis_interval_mos, tvb, rec->mos);
                add_generated_double(interval, hf_analysis_interval_r, tvb, rec->r);
            }
            add_generated_double(interval, hf_analysis_interval_lost_percent, tvb,
                                 rec->lost_percent);
            if (rec->has(IntervalRecord::kHasJitter)) {
                add_generated_double(interval, hf_analysis_interval_max_jitter, tvb,
                                     rec->max_jitter_ms);
            }
        }
        if (rec->has(IntervalRecord::kHasScore) && rec->mos < warn_below &&
            entry_needs_text(analysis, pinfo, ti, &ei_interval_low_mos)) {
            expert_add_info_format(pinfo, ti, &ei_interval_low_mos,
                                   "Interval MOS %.2f (%.1f %% lost) from %.2f s to %.2f s",
                                   rec->mos, rec->lost_percent, rec->start_s, end_s);
        }
    }
}

const char* resync_cause(const PacketPlayout& p) {
    if (p.jump) {
        return "a jump in sequence or media time";
    }
    return p.moved_ms > 0 ? "the delay rose for good" : "the delay fell for good";
}

// The packet's delay, its stream's resynchronisations so far, and a note
// where the fixed receiver resynchronised.
void add_playout(proto_tree* analysis, bool items, tvbuff_t* tvb, packet_info* pinfo,
                 const FrameAnalysis& r, const SimplePacketHeader& h) {
    const PacketPlayout p = packet_playout(r, pinfo->abs_ts);
    if (items && p.has_delay && h.packet_type == kVoicePacket) {
        proto_item_set_generated(
            proto_tree_add_double(analysis, hf_analysis_delay, tvb, 0, 0, p.delay_ms));
    }
    proto_item* ti = analysis;
    if (items && p.resynchronisations > 0) {
        ti = add_generated_uint(analysis, hf_analysis_resyncs, tvb, p.resynchronisations);
    }
    if (p.resynchronised && entry_needs_text(analysis, pinfo, ti, &ei_resynchronised)) {
        expert_add_info_format(pinfo, ti, &ei_resynchronised,
                               "Playout clock resynchronised by %+.1f ms (%s)", p.moved_ms,
                               resync_cause(p));
    }
}

}  // namespace

void add_stream_analysis_tree(proto_tree* tree, tvbuff_t* tvb, packet_info* pinfo,
                              const FrameAnalysis& r, const SimplePacketHeader& h) {
    const bool items = items_are_made(tree);
    // A field, not a text item, as the host's "tcp.analysis" is: it can be
    // filtered on, and the host skips it when no one looks (-T fields).
    proto_item* analysis_ti = tree;
    proto_tree* analysis = tree;
    const Verdict verdict = r.verdict();
    if (items) {
        analysis_ti = proto_tree_add_item(tree, hf_stream_analysis, tvb, 0, 0, ENC_NA);
        proto_item_set_generated(analysis_ti);
        analysis = proto_item_add_subtree(analysis_ti, ett_stream_analysis);
        add_generated_uint(analysis, hf_stream_index, tvb, r.stream);
        if (verdict != Verdict::First) {
            add_generated_ms(analysis, hf_analysis_delta, tvb, static_cast<double>(r.delta_ns));
        }
        if (r.has(FrameAnalysis::kHasJitter)) {
            add_generated_ms(analysis, hf_analysis_jitter, tvb, r.jitter_ns);
        }
    }
    if (items || r.has(FrameAnalysis::kHasEvents)) {
        add_playout(analysis, items, tvb, pinfo, r, h);
    }
    if (verdict == Verdict::Gap || verdict == Verdict::Duplicate ||
        verdict == Verdict::OutOfOrder) {
        proto_item* expected_ti = items
                                      ? add_generated_uint(analysis, hf_analysis_expected_sequence,
                                                           tvb, r.expected_sequence)
                                      : analysis;
        if (verdict == Verdict::Duplicate) {
            if (entry_needs_text(tree, pinfo, expected_ti, &ei_duplicate)) {
                expert_add_info_format(
                    pinfo, expected_ti, &ei_duplicate,
                    "Duplicate: sequence number %u was already seen in this stream",
                    h.sequence_number);
            }
        } else if (verdict == Verdict::OutOfOrder) {
            if (entry_needs_text(tree, pinfo, expected_ti, &ei_out_of_order)) {
                const unsigned highest = (r.expected_sequence + 255u) & 0xFFu;
                expert_add_info_format(
                    pinfo, expected_ti, &ei_out_of_order,
                    "Out of order: sequence number %u after %u%s", h.sequence_number, highest,
                    r.has(FrameAnalysis::kFilledGap) ? " (no longer missing)" : "");
            }
        }
    }
    if (r.lost_before > 0) {
        proto_item* lost_ti =
            items ? add_generated_uint(analysis, hf_analysis_lost, tvb, r.lost_before) : analysis;
        if (entry_needs_text(tree, pinfo, lost_ti, &ei_sequence_gap)) {
            expert_add_info_format(pinfo, lost_ti, &ei_sequence_gap,
                                   "%u %s missing before this one", r.lost_before,
                                   r.lost_before == 1 ? "packet" : "packets");
        }
    }
    if (r.has(FrameAnalysis::kCodecChanged)) {
        if (entry_needs_text(tree, pinfo, analysis_ti, &ei_codec_change)) {
            expert_add_info_format(
                pinfo, analysis_ti, &ei_codec_change, "Codec changed from %s to %s",
                codec_name(static_cast<unsigned>(r.previous_codec)), codec_name(h.codec_type));
        }
    }
    if (r.has(FrameAnalysis::kHasEvents)) {
        add_closed_intervals(analysis, items, tvb, pinfo, r);
    }
}

}  // namespace kestrune
