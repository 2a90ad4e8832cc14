// SPDX-License-Identifier: GPL-2.0-or-later
#include "score_preferences.h"

namespace kestrune {

ScorePreferences score_preferences;

void register_score_preferences(module_t* module) {
    prefs_register_uint_preference(
        module, "jitter_buffer", "Jitter buffer (ms)",
        "The fixed jitter buffer the quality score (R Factor, MOS) assumes at the receiver: "
        "a packet that arrives later than this after its place on the playout clock counts "
        "as lost",
        10, &score_preferences.jitter_buffer_ms);
    prefs_register_uint_preference(
        module, "network_delay", "One-way network delay (ms)",
        "The one-way network delay the quality score adds to the jitter buffer and the "
        "packet length; a capture cannot tell it",
        10, &score_preferences.network_delay_ms);
}

}  // namespace kestrune
