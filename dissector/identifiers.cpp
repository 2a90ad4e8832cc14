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

int hf_stream_analysis = -1;
int hf_stream_index = -1;
int hf_analysis_delta = -1;
int hf_analysis_jitter = -1;
int hf_analysis_expected_sequence = -1;
int hf_analysis_lost = -1;
int hf_analysis_interval = -1;
int hf_analysis_interval_mos = -1;
int hf_analysis_interval_r = -1;
int hf_analysis_interval_lost_percent = -1;
int hf_analysis_interval_max_jitter = -1;
int hf_analysis_delay = -1;
int hf_analysis_resyncs = -1;
int ett_analysis_interval = -1;
int ett_stream_analysis = -1;
expert_field ei_sequence_gap = EI_INIT;
expert_field ei_out_of_order = EI_INIT;
expert_field ei_duplicate = EI_INIT;
expert_field ei_codec_change = EI_INIT;
expert_field ei_interval_low_mos = EI_INIT;
expert_field ei_resynchronised = EI_INIT;

dissector_table_t packet_type_table = nullptr;

dissector_handle_t data_handle = nullptr;

int simple_kestrune_tap = -1;

}  // namespace kestrune
