// SPDX-License-Identifier: GPL-2.0-or-later
// Process-wide identifiers the host hands out at registration (-1 until
// then) and the handle of the host's "data" dissector, which receives the
// payload. Registration fills them in; the dissection routine reads them.
#pragma once

#include <epan/packet.h>

namespace kestrune {

extern int proto_simple_kestrune;

extern int hf_simple_packet;
extern int hf_simple_packet_length;
extern int hf_simple_packet_type;
extern int hf_session_sequence;
extern int hf_routing_flag;
extern int hf_codec_type;
extern int hf_session_id;
extern int hf_sequence_number;
extern int hf_payload_size;

extern int ett_simple_kestrune;
extern int ett_simple_packet;

extern dissector_handle_t data_handle;

// The "simplekestrune" tap; it carries each packet's TappedPacket.
extern int simple_kestrune_tap;

}  // namespace kestrune
