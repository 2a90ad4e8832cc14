// SPDX-License-Identifier: GPL-2.0-or-later
// The audio export's preferences, in the protocol's preference module.
#pragma once

#include <epan/prefs.h>

#include "codec_table.h"

namespace kestrune::audio {

// "simplekestrune.g726_packing": rfc3551 (the default) or aal2.
void register_audio_preferences(module_t* module);

// The packing chosen when an export starts.
G726Packing g726_packing();

}  // namespace kestrune::audio
