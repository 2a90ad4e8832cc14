// SPDX-License-Identifier: GPL-2.0-or-later
#include "level_preferences.h"

#include <optional>

#include "analysis/audio_level.h"
#include "dissector/decimal_text.h"

namespace kestrune {
namespace {
constexpr double kDefaultSilenceDbov = -55;
}  // namespace

LevelPreferences level_preferences;

double silent_below() {
    static DecimalText text;
    static double dbov = kDefaultSilenceDbov;
    static double mean_square = mean_square_at(kDefaultSilenceDbov);
    const double wanted =
        text.parse(level_preferences.silence_threshold).value_or(kDefaultSilenceDbov);
    if (wanted != dbov) {
        dbov = wanted;
        mean_square = mean_square_at(dbov);
    }
    return mean_square;
}

void register_level_preferences(module_t* module) {
    prefs_register_bool_preference(
        module, "audio_levels", "Audio levels",
        "Decode each stream's voice payloads with the host's codecs while the stream or calls "
        "table is open, for its level, silence and clipping (Level (dBov), Silent (%), "
        "Clipped (%), and One-way \"audio\" in the calls table)",
        &level_preferences.audio_levels);
    prefs_register_string_preference(
        module, "silence_threshold", "Silence below (dBov)",
        "A 20 ms frame of decoded audio whose RMS level is below this many dBov (0 is 16-bit "
        "full scale) counts as silent",
        &level_preferences.silence_threshold);
}

}  // namespace kestrune
