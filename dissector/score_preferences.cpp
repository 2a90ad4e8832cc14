// SPDX-License-Identifier: GPL-2.0-or-later
#include "score_preferences.h"

#include <optional>

#include "decimal_text.h"

namespace kestrune {

ScorePreferences score_preferences;

double warn_below_mos() {
    static DecimalText text;
    const std::optional<double> mos = text.parse(score_preferences.warn_below_mos);
    return mos && *mos > 0 ? *mos : 0;
}

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
    prefs_register_uint_preference(
        module, "score_interval", "Score interval (s)",
        "Score each stream over intervals of this many seconds of its playout clock as well "
        "(MOS min in the stream and calls tables, the intervals table, the "
        "kestrune.analysis.interval fields on the packet after each interval); 0 turns the "
        "intervals off",
        10, &score_preferences.interval_s);
    prefs_register_string_preference(
        module, "warn_below_mos", "Warn below MOS",
        "A note in the expert information for each interval whose MOS is below this; 0 never",
        &score_preferences.warn_below_mos);
}

}  // namespace kestrune
