// SPDX-License-Identifier: GPL-2.0-or-later
#include "analysis_registration.h"

#include <epan/decode_as.h>
#include <epan/expert.h>
#include <epan/packet.h>

#include "dissector/analysis_expert.h"
#include "dissector/identifiers.h"
#include "dissector/rtp_report.h"
#include "dissector/shown_packet.h"
#include "dissector/stream_tracking.h"
#include "dissector/value_names.h"

namespace kestrune {
namespace {

// Display filters and I/O graphs name these fields.
hf_register_info analysis_fields[] = {
    {&hf_stream_analysis,
     {"Stream Analysis", "kestrune.analysis", FT_NONE, BASE_NONE, nullptr, 0x0,
      "What this packet tells about its media stream", HFILL}},
    {&hf_stream_index,
     {"Stream index", "kestrune.stream", FT_UINT32, BASE_DEC, nullptr, 0x0,
      "Media streams (one direction of one session between two endpoints), numbered from 0 in "
      "order of first appearance",
      HFILL}},
    {&hf_analysis_delta,
     {"Delta (ms)", "kestrune.analysis.delta", FT_DOUBLE, BASE_NONE, nullptr, 0x0,
      "Arrival time since the stream's previous packet", HFILL}},
    {&hf_analysis_jitter,
     {"Jitter (ms)", "kestrune.analysis.jitter", FT_DOUBLE, BASE_NONE, nullptr, 0x0,
      "The stream's RFC 3550 interarrival jitter estimate after this packet", HFILL}},
    {&hf_analysis_expected_sequence,
     {"Expected Sequence Number", "kestrune.analysis.expected_sequence", FT_UINT8, BASE_DEC,
      nullptr, 0x0, "The sequence number that would have continued the stream", HFILL}},
    {&hf_analysis_lost,
     {"Lost before this packet", "kestrune.analysis.lost", FT_UINT32, BASE_DEC, nullptr, 0x0,
      "Sequence numbers skipped just before this packet", HFILL}},
    {&hf_analysis_interval,
     {"Interval", "kestrune.analysis.interval", FT_NONE, BASE_NONE, nullptr, 0x0,
      "A score interval of the stream, on the stream's first packet after it", HFILL}},
    {&hf_analysis_interval_mos,
     {"Interval MOS", "kestrune.analysis.interval.mos", FT_DOUBLE, BASE_NONE, nullptr, 0x0,
      "The interval's MOS (E-model, with the stream's jitter buffer and delay)", HFILL}},
    {&hf_analysis_interval_r,
     {"Interval R Factor", "kestrune.analysis.interval.r", FT_DOUBLE, BASE_NONE, nullptr, 0x0,
      "The interval's R factor", HFILL}},
    {&hf_analysis_interval_lost_percent,
     {"Interval Lost (%)", "kestrune.analysis.interval.lost_percent", FT_DOUBLE, BASE_NONE, nullptr,
      0x0, "Slots due in the interval whose packet was missing or too late", HFILL}},
    {&hf_analysis_interval_max_jitter,
     {"Interval Max Jitter (ms)", "kestrune.analysis.interval.max_jitter", FT_DOUBLE, BASE_NONE,
      nullptr, 0x0, "The largest jitter estimate after one of the interval's packets", HFILL}},
    {&hf_analysis_delay,
     {"Delay (ms)", "kestrune.analysis.delay", FT_DOUBLE, BASE_NONE, nullptr, 0x0,
      "Arrival minus media time, relative to the stream's first packet: the path's delay as it "
      "changed since then (a route change is a step, a drifting sender's clock a slope)",
      HFILL}},
    {&hf_analysis_resyncs,
     {"Resynchronisations", "kestrune.analysis.resynchronisations", FT_UINT32, BASE_DEC, nullptr,
      0x0,
      "Times the fixed receiver's playout clock resynchronised in this stream so far (a route "
      "change, a jump in sequence or media time)",
      HFILL}},
};

int* analysis_subtrees[] = {&ett_stream_analysis, &ett_analysis_interval};

// Host dissectors that Decode As offers for a packet type's payload, when
// this host has them: RFC 4733 events for DTMF packets, T.38 for fax.
constexpr const char* kOfferedDissectors[] = {"data", "rtpevent", "t38_udp"};

constexpr const char* kPacketTypeTable = "kestrune.packet_type";

// Decode As in the GUI offers the packet type of the packet it shows.
void packet_type_label(packet_info* pinfo, gchar* result) {
    ShownPacket shown{};
    if (shown_packet_of(pinfo, &shown)) {
        g_snprintf(result, MAX_DECODE_AS_PROMPT_LEN, "Packet type %u (%s) as", shown.packet_type,
                   val_to_str_const(shown.packet_type, packet_type_names, "Unknown"));
    } else {
        g_strlcpy(result, "Packet type as", MAX_DECODE_AS_PROMPT_LEN);
    }
}

gpointer packet_type_value(packet_info* pinfo) {
    ShownPacket shown{};
    return GUINT_TO_POINTER(shown_packet_of(pinfo, &shown) ? shown.packet_type : 0u);
}

build_valid_func packet_type_values[] = {packet_type_value};
decode_as_value_t packet_type_decode_values[] = {{packet_type_label, 1, packet_type_values}};
decode_as_t packet_type_decode_as = {
    "simplekestrune",
    kPacketTypeTable,
    1,
    0,
    packet_type_decode_values,
    nullptr,
    nullptr,
    decode_as_default_populate_list,
    decode_as_default_reset,
    decode_as_default_change,
    nullptr,
};

const enum_val_t g726_packing_values[] = {
    {"rfc3551", "RFC 3551 (first codeword in the low bits)",
     static_cast<int>(G726Packing::rfc3551)},
    {"aal2", "ATM AAL2, I.366.2 (first codeword in the high bits)",
     static_cast<int>(G726Packing::aal2)},
    {nullptr, nullptr, 0},
};

}  // namespace

void register_rtp_tools(module_t* module) {
    prefs_register_bool_preference(
        module, "rtp_tools", "Voice streams in the RTP tools",
        "Report each packet on a stream's media clock to the host's RTP tools (RTP Streams, RTP "
        "Stream Analysis, RTP Player, tshark -z rtp,streams) as an RTP packet: voice under its "
        "codec's payload type, DTMF, fax, modem and other packets under payload types of their "
        "own; SSRC the Session ID, sequence numbers and timestamps from the stream analysis, "
        "which must be on",
        &rtp_tools);
    prefs_register_enum_preference(
        module, "g726_packing", "G.726 bit packing",
        "How the audio export, the tables' audio levels and the RTP Player unpack G.726 "
        "payloads: as RFC 3551 packs them, "
        "or as ATM AAL2 gateways do. Played with the wrong one, speech turns into noise.",
        &g726_packing_preference, g726_packing_values, FALSE);
}

void register_stream_analysis(module_t* module) {
    proto_register_field_array(proto_simple_kestrune, analysis_fields,
                               array_length(analysis_fields));
    proto_register_subtree_array(analysis_subtrees, array_length(analysis_subtrees));
    expert_module_t* expert = expert_register_protocol(proto_simple_kestrune);
    expert_register_field_array(expert, analysis_expert_entries, analysis_expert_entry_count);
    prefs_register_bool_preference(
        module, "analyze_streams", "Analyze streams",
        "Place each packet in its media stream and show the delta, jitter, losses, duplicates "
        "and reordering (as generated fields and expert information)",
        &analyze_streams);
    register_stream_tracking();
}

void register_packet_type_table() {
    packet_type_table = register_dissector_table(kPacketTypeTable, "SimpleKestrune packet type",
                                                 proto_simple_kestrune, FT_UINT8, BASE_DEC);
    register_decode_as(&packet_type_decode_as);
}

void offer_packet_type_dissectors() {
    static bool offered = false;
    if (offered) {
        return;
    }
    offered = true;
    for (const char* name : kOfferedDissectors) {
        if (dissector_handle_t handle = find_dissector(name)) {
            dissector_add_for_decode_as(kPacketTypeTable, handle);
        }
    }
}

}  // namespace kestrune
