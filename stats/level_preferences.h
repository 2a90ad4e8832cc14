// SPDX-License-Identifier: GPL-2.0-or-later
// The preferences of the audio levels that the stream and calls tables
// measure in the decoded payloads.
#pragma once

#include "dissector/host_compat.h"  // bool_preference

namespace kestrune {

struct LevelPreferences {
    bool_preference audio_levels = TRUE;
    const char* silence_threshold = "-55";
};

// The values in force, written by the host when preferences are read or
// applied (a change reads the capture again).
extern LevelPreferences level_preferences;

// The mean square of a 20 ms frame below which it is silent, from the
// "Silence below (dBov)" preference (its default when the text is not a
// number).
double silent_below();

// simplekestrune.audio_levels and .silence_threshold.
void register_level_preferences(module_t* module);

}  // namespace kestrune
