// SPDX-License-Identifier: GPL-2.0-or-later
// Names of the header's packet type and codec type numbers, in the host's
// value_string layout (ended by a null entry) so fields can show them.
#pragma once

#include "host_compat.h"

namespace kestrune {

extern const value_string packet_type_names[];  // 3-bit type; 7 is unnamed
extern const value_string codec_type_names[];   // 4-bit codec; all 16 named

}  // namespace kestrune
