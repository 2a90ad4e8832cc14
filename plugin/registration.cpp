// SPDX-License-Identifier: GPL-2.0-or-later
#include "registration.h"

#include <epan/prefs.h>
#include <epan/tap.h>

#include "analysis_registration.h"
#include "dissector/identifiers.h"
#include "dissector/packet_dissector.h"
#include "dissector/value_names.h"
#include "port_binding.h"
#include "stats/call_analysis.h"
#include "stats/interval_table.h"
#include "stats/receivers_table.h"
#include "stats/session_stats.h"
#include "stats/stream_table.h"
#include "stream_filter.h"
#ifdef KESTRUNE_AUDIO_EXPORT
#include "audio/audio_export.h"
#endif

namespace kestrune {

unsigned int selvagrid_udp_port = 4096;

namespace {

// Saved captures, display filters and preference files use these exact names.
hf_register_info field_table[] = {
    {&hf_simple_packet,
     {"Simple Packet", "kestrune.simple_packet", FT_UINT16, BASE_DEC, nullptr, 0x0, "", HFILL}},
    {&hf_simple_packet_length,
     {"Simple Packet Length", "kestrune.simple_packet.simple_packet_length", FT_UINT16, BASE_DEC,
      nullptr, 0x0, "", HFILL}},
    {&hf_simple_packet_type,
     {"Simple Packet Type", "kestrune.simple_packet.simple_packet_type", FT_UINT16, BASE_DEC,
      VALS(packet_type_names), 0x0, "", HFILL}},
    {&hf_session_sequence,
     {"Session Sequence", "kestrune.simple_packet.session_sequence", FT_BOOLEAN, BASE_NONE, nullptr,
      0x0, "", HFILL}},
    {&hf_routing_flag,
     {"Routing Flag", "kestrune.simple_packet.routing_flag", FT_BOOLEAN, BASE_NONE, nullptr, 0x0,
      "", HFILL}},
    {&hf_codec_type,
     {"Codec Type", "kestrune.simple_packet.codec_type", FT_UINT16, BASE_DEC,
      VALS(codec_type_names), 0x0, "", HFILL}},
    {&hf_session_id,
     {"Session ID", "kestrune.simple_packet.session_id", FT_UINT16, BASE_DEC, nullptr, 0x0, "",
      HFILL}},
    {&hf_sequence_number,
     {"Sequnce Number", "kestrune.simple_packet.sequence_number", FT_UINT16, BASE_DEC, nullptr, 0x0,
      "", HFILL}},
    {&hf_payload_size,
     {"Payload Size", "kestrune.simple_packet.payload_size", FT_UINT16, BASE_DEC, nullptr, 0x0, "",
      HFILL}},
};

int* subtree_table[] = {&ett_simple_kestrune, &ett_simple_packet};

}  // namespace

void register_simple_kestrune() {
    if (proto_simple_kestrune != -1) {
        return;
    }
    proto_simple_kestrune =
        proto_register_protocol("Quorvane Simple Kestrune", "SimpleKestrune", "simplekestrune");
    proto_register_field_array(proto_simple_kestrune, field_table, array_length(field_table));
    proto_register_subtree_array(subtree_table, array_length(subtree_table));
    register_dissector("simplekestrune", dissect_simple_kestrune, proto_simple_kestrune);

    module_t* module = prefs_register_protocol(proto_simple_kestrune, bind_selvagrid_port);
    prefs_register_uint_preference(module, "udp.selvagrid_port",
                                   "Simple Kestrune \"well-known\" Selvagrid UDP Port", "", 10,
                                   &selvagrid_udp_port);
    register_stream_analysis(module);
    register_packet_type_table();
    register_call_analysis(module);
    register_rtp_tools(module);

    simple_kestrune_tap = register_tap("simplekestrune");
    register_session_stats();
    register_stream_table();
    register_interval_table();
    register_receivers_table();
    register_stream_filter();
#ifdef KESTRUNE_AUDIO_EXPORT
    audio::register_audio_export();
#endif
}

void register_udp_heuristic() {
    static bool registered = false;
    if (registered) {
        return;
    }
    registered = true;
    heur_dissector_add("udp", dissect_simple_kestrune_heur, "Simple Kestrune over UDP",
                       "simplekestrune_udp", proto_simple_kestrune, HEURISTIC_DISABLE);
}

}  // namespace kestrune
