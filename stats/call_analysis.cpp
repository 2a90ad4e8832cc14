// SPDX-License-Identifier: GPL-2.0-or-later
#include "call_analysis.h"

#include "calls_table.h"
#include "dissector/score_preferences.h"
#include "flow_graph.h"
#include "level_preferences.h"

namespace kestrune {

void register_call_analysis(module_t* module) {
    register_score_preferences(module);
    register_level_preferences(module);
    register_calls_table();
    register_flow_graph();
}

}  // namespace kestrune
