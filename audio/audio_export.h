// SPDX-License-Identifier: GPL-2.0-or-later
// Exports each voice stream as a WAV file, decoded by the host's codecs:
// `tshark -q -r FILE -z simplekestrune,audio,DIR`, and the GUI's Tools menu.
#pragma once

#include <string>

#include "tap_export.h"

namespace kestrune::audio {

// An export of each voice stream into folder, not yet started.
TapExport* new_stream_export(const std::string& folder, bool finish_on_draw);

// Registers the -z arguments of both exports (streams and calls) and, in
// the GUI, the menu entry.
void register_audio_export();
void register_audio_menu();

}  // namespace kestrune::audio
