// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <epan/prefs.h>

namespace kestrune {

// The per-packet stream analysis: its generated fields, subtree, expert
// information and the "Analyze streams" preference.
void register_stream_analysis(module_t* module);

// The voice streams in the host's RTP tools: the "Voice streams in the RTP
// tools" and "G.726 bit packing" preferences (the audio export reads the
// packing too).
void register_rtp_tools(module_t* module);

// The "kestrune.packet_type" payload table, with Decode As.
void register_packet_type_table();
// Offers some of the host's dissectors for it; once they all exist.
void offer_packet_type_dissectors();

}  // namespace kestrune
