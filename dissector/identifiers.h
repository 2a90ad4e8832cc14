// SPDX-License-Identifier: GPL-2.0-or-later
// Process-wide identifiers the host hands out at registration (-1 until
// then) and the handle of the host's "data" dissector, which receives the
// payload. Registration fills them in; the dissection routine reads them.
#pragma once

#include <epan/expert.h>
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

// The per-packet stream analysis, generated items under "Stream Analysis".
extern int hf_stream_analysis;
extern int hf_stream_index;
extern int hf_analysis_delta;
extern int hf_analysis_jitter;
extern int hf_analysis_expected_sequence;
extern int hf_analysis_lost;
extern int hf_analysis_interval;
extern int hf_analysis_interval_mos;
extern int hf_analysis_interval_r;
extern int hf_analysis_interval_lost_percent;
extern int hf_analysis_interval_max_jitter;
extern int hf_analysis_delay;
extern int hf_analysis_resyncs;
extern int ett_analysis_interval;
extern int ett_stream_analysis;
extern expert_field ei_sequence_gap;
extern expert_field ei_out_of_order;
extern expert_field ei_duplicate;
extern expert_field ei_codec_change;
extern expert_field ei_interval_low_mos;
extern expert_field ei_resynchronised;

// "kestrune.packet_type": where each packet type's payload goes; "data"
// unless a user (Decode As) or another dissector chose otherwise.
extern dissector_table_t packet_type_table;

extern dissector_handle_t data_handle;

// The "simplekestrune" tap; it carries each packet's TappedPacket.
extern int simple_kestrune_tap;

}  // namespace kestrune
