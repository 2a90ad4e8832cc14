// SPDX-License-Identifier: GPL-2.0-or-later
#include "identifiers.h"

namespace kestrune {

int proto_simple_kestrune = -1;

int hf_simple_packet = -1;
int hf_simple_packet_length = -1;
int hf_simple_packet_type = -1;
int hf_session_sequence = -1;
int hf_routing_flag = -1;
int hf_codec_type = -1;
int hf_session_id = -1;
int hf_sequence_number = -1;
int hf_payload_size = -1;

int ett_simple_kestrune = -1;
int ett_simple_packet = -1;

dissector_handle_t data_handle = nullptr;

int simple_kestrune_tap = -1;

}  // namespace kestrune
