// SPDX-License-Identifier: GPL-2.0-or-later
// Exports each call as one stereo WAV file, left A → B and right B → A,
// each direction decoded as the export of one stream decodes it and placed
// at its real offset from the other: `tshark -q -r FILE -z
// simplekestrune,callaudio,DIR`, and the GUI's Tools menu.
#pragma once

#include <string>

#include "tap_export.h"

namespace kestrune::audio {

// An export of each call into folder, not yet started.
TapExport* new_call_export(const std::string& folder, bool finish_on_draw);

// Registers the -z argument.
void register_call_audio_export();

}  // namespace kestrune::audio
