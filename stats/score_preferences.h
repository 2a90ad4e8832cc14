// SPDX-License-Identifier: GPL-2.0-or-later
// The preferences of the quality score: the jitter buffer the score
// assumes at the receiver and the one-way network delay it adds.
#pragma once

#include <epan/prefs.h>

namespace kestrune {

struct ScorePreferences {
    unsigned jitter_buffer_ms = 50;
    unsigned network_delay_ms = 0;
};

// The values in force; the host writes them when preferences are read or
// applied, and the tables read them as each stream starts (jitter buffer)
// or each row is filled (network delay).
extern ScorePreferences score_preferences;

// simplekestrune.jitter_buffer and simplekestrune.network_delay.
void register_score_preferences(module_t* module);

}  // namespace kestrune
