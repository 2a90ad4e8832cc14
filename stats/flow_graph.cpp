// SPDX-License-Identifier: GPL-2.0-or-later
//
// The protocol's flow for the host's flow graph (Statistics › Flow Graph,
// tshark -z flow,simplekestrune,network). A voice stream of thousands of
// packets would bury the ladder in arrows, so only the events get one: the
// first packet of each stream, labelled with its codec, session and the
// stream's packet count; each DTMF, fax or modem packet, labelled with its
// type; and each packet after a sequence gap, with the count lost.
//
// The host calls this for each packet with the flow's item list and gives
// no call at the end, so the first arrow's label is written again, in
// place, as the stream's count grows. The host owns the items (and their
// labels) and frees them when it reads the capture again; the streams kept
// here start again then too.
//
// Runs from the tap, after dissection, so ordinary C++ containers are safe
// here.
#include "flow_graph.h"

#include <cstdio>
#include <unordered_map>

#include "analysis/sequence_tracker.h"
#include "analysis/stream_analysis.h"  // kVoicePacket
#include "dissector/host_compat.h"
#include "dissector/identifiers.h"
#include "dissector/tapped_packet.h"
#include "dissector/value_names.h"
#include "stream_key.h"

namespace kestrune {
namespace {

constexpr unsigned kLastSignalPacket = 6;  // DTMF, fax and modem: 1..6; 7 has no name
// Longest names, a 12-bit session and 32-bit counts fit with room.
constexpr std::size_t kFirstTextSize = 96;

struct FlowStream {
    SequenceTracker sequence;
    guint16 index = 0;  // in order of appearance: the host colours by it
    const char* codec = "";
    const char* first_type = "";
    unsigned first_sequence = 0;
    // The first arrow's label and comment, owned by its item. tshark's
    // ladder cuts labels at about 20 characters, so the comment says it all.
    char* first_label = nullptr;
    char* first_comment = nullptr;
};

struct Flow {
    StreamMap<FlowStream> streams;
    guint32 last_frame = 0;
    guint items = 0;
};

// One flow per item list: the GUI can have several flow graphs open.
std::unordered_map<const host_flow::Info*, Flow> flows;

// The host reads the capture again from its first frame, after freeing the
// items; either tells that a new read has begun.
Flow& flow_of(const host_flow::Info* info, guint32 frame) {
    Flow& f = flows[info];
    if (frame <= f.last_frame || g_queue_get_length(info->items) < f.items) {
        f.streams.clear();
        f.items = 0;
    }
    f.last_frame = frame;
    return f;
}

void write_first_texts(const FlowStream& s, unsigned session) {
    (void)std::snprintf(s.first_label, kFirstTextSize, "%s s%u: %u pkts", s.codec, session,
                        s.sequence.packets());
    (void)std::snprintf(s.first_comment, kFirstTextSize,
                        "%s, session %u, sequence %u: first of %u packets", s.first_type, session,
                        s.first_sequence, s.sequence.packets());
}

tap_packet_status flow_packet(void* tapdata, packet_info* pinfo, epan_dissect_t* /*edt*/,
                              const void* data, tap_flags /*flags*/) {
    auto* info = static_cast<host_flow::Info*>(tapdata);
    const auto* p = static_cast<const TappedPacket*>(data);
    const SimplePacketHeader& h = p->header;
    Flow& flow = flow_of(info, pinfo->num);

    const StreamKey key = stream_key_of(*p);
    FlowStream* s = flow.streams.find(key);
    const bool first = s == nullptr;
    if (first) {
        s = &flow.streams.add(key);
        s->index = static_cast<guint16>(flow.streams.size() - 1);
        s->codec = val_to_str_const(h.codec_type, codec_type_names, "Unknown");
    }
    const unsigned missing_before = s->sequence.missing();
    const bool gap = s->sequence.observe(static_cast<std::uint8_t>(h.sequence_number)) ==
                     SequenceTracker::Verdict::Gap;
    const unsigned lost = gap ? s->sequence.missing() - missing_before : 0;
    if (s->first_label != nullptr) {
        write_first_texts(*s, key.session_id);
    }
    const bool signal = h.packet_type != kVoicePacket && h.packet_type <= kLastSignalPacket;
    if (!first && !signal && lost == 0) {
        return TAP_PACKET_DONT_REDRAW;
    }

    host_flow::Item* item = sequence_analysis_create_sai_with_addresses(pinfo, info);
    if (item == nullptr) {
        return TAP_PACKET_DONT_REDRAW;
    }
    // The endpoints the packet was carried between: the packet_info's may be
    // those of a layer around it by now.
    free_address(&item->src_addr);
    free_address(&item->dst_addr);
    copy_address(&item->src_addr, &p->src);
    copy_address(&item->dst_addr, &p->dst);
    item->port_src = static_cast<guint16>(p->src_port);
    item->port_dst = static_cast<guint16>(p->dst_port);
    item->frame_number = pinfo->num;
    const char* type = val_to_str_const(h.packet_type, packet_type_names, "Unknown (7)");
    if (first) {
        s->first_type = type;
        s->first_sequence = h.sequence_number;
        s->first_label = static_cast<char*>(g_malloc(kFirstTextSize));
        s->first_comment = static_cast<char*>(g_malloc(kFirstTextSize));
        write_first_texts(*s, key.session_id);
        item->frame_label = s->first_label;
        item->comment = s->first_comment;
    } else if (signal && lost != 0) {
        item->frame_label = g_strdup_printf("%s, %u lost", type, lost);
    } else if (signal) {
        item->frame_label = g_strdup(type);
    } else {
        item->frame_label = g_strdup_printf("%u lost", lost);
    }
    if (!first) {
        item->comment = g_strdup_printf("%s, session %u, sequence %u", type,
                                        static_cast<unsigned>(key.session_id),
                                        static_cast<unsigned>(h.sequence_number));
    }
    item->conv_num = s->index;
    item->line_style = 1;
    item->display = TRUE;
    g_queue_push_tail(info->items, item);
    ++flow.items;
    return TAP_PACKET_REDRAW;
}

}  // namespace

void register_flow_graph() {
    register_seq_analysis("simplekestrune", "SimpleKestrune", proto_simple_kestrune,
                          "simplekestrune", TL_REQUIRES_NOTHING, tap_callback<flow_packet>);
}

}  // namespace kestrune
