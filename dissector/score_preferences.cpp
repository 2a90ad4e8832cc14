// SPDX-License-Identifier: GPL-2.0-or-later
#include "score_preferences.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace kestrune {

ScorePreferences score_preferences;

double warn_below_mos() {
    // Parsed again only when the text changes: it is asked for on every
    // packet that closes an interval.
    static std::string parsed_text;
    static double parsed = 0;
    static bool has_parsed = false;
    const char* current =
        score_preferences.warn_below_mos != nullptr ? score_preferences.warn_below_mos : "";
    if (has_parsed && parsed_text == current) {
        return parsed;
    }
    std::string text = current;
    // A decimal comma, as typed in many locales.
    std::replace(text.begin(), text.end(), ',', '.');
    char* end = nullptr;  // NOLINT(misc-const-correctness): g_ascii_strtod writes a gchar**
    const double mos = g_ascii_strtod(text.c_str(), &end);
    const bool whole = end != text.c_str() && *end == '\0';
    parsed_text = current;
    parsed = whole && std::isfinite(mos) && mos > 0 ? mos : 0;
    has_parsed = true;
    return parsed;
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
