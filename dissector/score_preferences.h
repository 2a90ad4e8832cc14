// SPDX-License-Identifier: GPL-2.0-or-later
// The preferences of the quality score: the jitter buffer the score
// assumes at the receiver, the one-way network delay it adds, and the
// intervals a stream is scored over (the tables and the per-packet
// analysis both use them).
#pragma once

#include <epan/prefs.h>

namespace kestrune {

struct ScorePreferences {
    unsigned jitter_buffer_ms = 50;
    unsigned network_delay_ms = 0;
    unsigned interval_s = 10;  // 0: no intervals
    const char* warn_below_mos = "3.1";
};

// The "Warn below MOS" preference as a number; 0 (never) if it is not one.
double warn_below_mos();

// The values in force; the host writes them when preferences are read or
// applied, and the tables read them as each stream starts (jitter buffer)
// or each row is filled (network delay).
extern ScorePreferences score_preferences;

// simplekestrune.jitter_buffer, .network_delay, .score_interval and
// .warn_below_mos.
void register_score_preferences(module_t* module);

}  // namespace kestrune
