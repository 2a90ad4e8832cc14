// SPDX-License-Identifier: GPL-2.0-or-later
// Exports each voice stream as a WAV file, decoded by the host's codecs:
// `tshark -q -r FILE -z simplekestrune,audio,DIR`, and the GUI's Tools menu.
#pragma once

#include <string>

namespace kestrune::audio {

class AudioExport;

// Starts an export into folder: checks the folder and registers a listener
// on the protocol's tap. On failure returns nullptr and says why in error.
// finish_on_draw: finish when the host first draws the listener, as tshark
// does once, after the last packet.
AudioExport* start_audio_export(const std::string& folder, bool finish_on_draw, std::string& error);

// Writes out what is held, gives the files their names, removes the
// listener (which frees the export) and returns the summary.
std::string finish_audio_export(AudioExport* e);

// Registers the -z argument and, in the GUI, the menu entry.
void register_audio_export();
void register_audio_menu();

}  // namespace kestrune::audio
