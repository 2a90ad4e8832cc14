// SPDX-License-Identifier: GPL-2.0-or-later
#include "analysis_expert.h"

#include <epan/column-info.h>
#include <epan/tap.h>

#include <algorithm>
#include <iterator>

#include "identifiers.h"

namespace kestrune {

ei_register_info analysis_expert_entries[] = {
    {&ei_sequence_gap,
     {"kestrune.analysis.sequence_gap", PI_SEQUENCE, PI_WARN, "Packets missing before this one",
      EXPFILL}},
    {&ei_out_of_order,
     {"kestrune.analysis.out_of_order", PI_SEQUENCE, PI_WARN,
      "Out of order: arrived after a higher sequence number of its stream", EXPFILL}},
    {&ei_duplicate,
     {"kestrune.analysis.duplicate", PI_SEQUENCE, PI_NOTE,
      "Duplicate: a sequence number the stream already had", EXPFILL}},
    {&ei_codec_change,
     {"kestrune.analysis.codec_change", PI_SEQUENCE, PI_NOTE,
      "Codec differs from the stream's previous packet", EXPFILL}},
    {&ei_interval_low_mos,
     {"kestrune.analysis.interval.low_mos", PI_SEQUENCE, PI_NOTE,
      "Interval MOS below the \"Warn below MOS\" preference", EXPFILL}},
    {&ei_resynchronised,
     {"kestrune.analysis.resynchronised", PI_SEQUENCE, PI_NOTE,
      "The fixed receiver's playout clock resynchronised", EXPFILL}},
};
const int analysis_expert_entry_count =
    static_cast<int>(sizeof analysis_expert_entries / sizeof analysis_expert_entries[0]);

namespace {

int current_severity(const expert_field& ei) {
    const ei_register_info* end = std::end(analysis_expert_entries);
    const ei_register_info* entry =
        std::find_if(std::cbegin(analysis_expert_entries), end,
                     [&ei](const ei_register_info& e) { return e.ids == &ei; });
    return entry != end ? entry->eiinfo.severity : PI_ERROR;  // unknown: assume it matters
}

bool expert_column_shown(const packet_info* pinfo) {
    const column_info* cinfo = pinfo->cinfo;
    return cinfo != nullptr && cinfo->col_first != nullptr && cinfo->col_first[COL_EXPERT] >= 0;
}

}  // namespace

ExpertUse expert_use(proto_tree* tree, const packet_info* pinfo, const expert_field& ei) {
    static const int expert_tap = find_tap_id("expert");
    static const int proto_expert = proto_get_id_by_filter_name("_ws.expert");
    if (have_tap_listener(expert_tap) || proto_field_is_referenced(tree, proto_expert) ||
        proto_field_is_referenced(tree, ei.hf)) {
        return ExpertUse::Text;
    }
    if (expert_column_shown(pinfo) || current_severity(ei) > expert_get_highest_severity()) {
        return ExpertUse::Summary;
    }
    return ExpertUse::Skip;
}

}  // namespace kestrune
