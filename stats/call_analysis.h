// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <epan/prefs.h>

namespace kestrune {

// The calls table, the flow graph and the quality score's preferences (in
// the protocol's preference module).
void register_call_analysis(module_t* module);

}  // namespace kestrune
