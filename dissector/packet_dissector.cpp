// SPDX-License-Identifier: GPL-2.0-or-later
//
// Everything here runs under the host's setjmp/longjmp exceptions: a read
// past the end of the buffer jumps straight out of this function. Nothing
// on this path may own a destructor.
#include "packet_dissector.h"

#include <epan/tap.h>

#include "identifiers.h"
#include "label_text.h"
#include "rtp_report.h"
#include "shown_packet.h"
#include "simple_packet_header.h"
#include "stream_analysis_tree.h"
#include "stream_tracking.h"
#include "tapped_packet.h"

namespace kestrune {
namespace {

void add_header_fields(proto_tree* tree, tvbuff_t* tvb, const SimplePacketHeader& h) {
    proto_tree_add_uint(tree, hf_simple_packet_length, tvb, 0, 2, h.length);
    proto_tree_add_uint(tree, hf_simple_packet_type, tvb, 1, 1, h.packet_type);
}

void add_simple_packet_fields(proto_tree* tree, tvbuff_t* tvb, const SimplePacketHeader& h) {
    add_header_fields(tree, tvb, h);
    proto_tree_add_boolean(tree, hf_session_sequence, tvb, 1, 1, h.session_sequence);
    proto_tree_add_boolean(tree, hf_routing_flag, tvb, 1, 1, h.routing_flag);
    proto_tree_add_uint(tree, hf_codec_type, tvb, 2, 1, h.codec_type);
    proto_tree_add_uint(tree, hf_session_id, tvb, 2, 2, h.session_id);
    proto_tree_add_uint(tree, hf_sequence_number, tvb, 4, 1, h.sequence_number);
    proto_tree_add_uint(tree, hf_payload_size, tvb, 5, 1, h.payload_size);
}

// Only the first Simple Packet is decoded. A payload size beyond the
// datagram makes the host report it as malformed here, after the tree. The
// payload goes to the dissector chosen for its packet type, if any; one that
// declines it leaves it to "data".
void hand_payload_on(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree,
                     const SimplePacketHeader& h) {
    tvbuff_t* payload =
        tvb_new_subset_length_caplen(tvb, kSimplePacketHeaderSize, h.payload_size, h.payload_size);
    if (try_uint_dissector(packet_type_table, h.packet_type, payload, pinfo, tree, nullptr) == 0) {
        call_dissector(data_handle, payload, pinfo, tree);
    }
}

}  // namespace

int dissect_simple_kestrune(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree, void* /*data*/) {
    // All three words are read first: a datagram shorter than the header is
    // abandoned as malformed before any column is touched.
    const SimplePacketHeader h = read_simple_packet_header(tvb);

    col_set_str(pinfo->cinfo, COL_PROTOCOL, "SimpleKestrune");
    char info[kInfoTextSize];
    col_add_str(pinfo->cinfo, COL_INFO, format_info_text(info, h.length, h.packet_type));

    // Only copied when someone listens: most reads have no tap listener.
    if (have_tap_listener(simple_kestrune_tap)) {
        auto* tapped = wmem_new(pinfo->pool, TappedPacket);
        tapped->header = h;
        copy_address_shallow(&tapped->src, &pinfo->src);
        copy_address_shallow(&tapped->dst, &pinfo->dst);
        tapped->src_port = pinfo->srcport;
        tapped->dst_port = pinfo->destport;
        // Only the bytes that were captured: this must not throw before the
        // tree is built.
        const guint available = tvb_captured_length(tvb) - kSimplePacketHeaderSize;
        tapped->payload_captured = available < h.payload_size ? available : h.payload_size;
        tapped->payload =
            tvb_get_ptr(tvb, kSimplePacketHeaderSize, static_cast<gint>(tapped->payload_captured));
        tap_queue_packet(simple_kestrune_tap, pinfo, tapped);
    }

    // On the first pass every packet is placed in its stream, whether or
    // not a tree is built: the GUI's first pass builds none. A datagram
    // quoted in an ICMP error is a copy of one sent earlier, not part of
    // its stream: counted, it would be a false duplicate or gap (the host's
    // RTP dissector keeps such copies from its tap alike).
    const FrameAnalysis* analysis =
        analyze_streams && !pinfo->flags.in_error_pkt ? track_stream_packet(pinfo, h) : nullptr;
    // The RTP tools take a stream's numbers and clock from the analysis.
    if (analysis != nullptr && rtp_tools_listening()) {
        report_rtp_packet(tvb, pinfo, h, *analysis);
    }

    if (!tree) {
        // Without a tree only the expert information is kept: for the
        // host's expert tap (tshark -z expert builds no tree) and for the
        // GUI's highest severity, which its first pass (no tree) counts.
        if (analysis != nullptr && analysis->has_news()) {
            add_stream_analysis_tree(nullptr, tvb, pinfo, *analysis, h);
        }
        // "data" shows nothing without a tree, but a dissector chosen for
        // this packet type may fill columns or feed its own taps.
        if (dissector_get_uint_handle(packet_type_table, h.packet_type) != nullptr) {
            hand_payload_on(tvb, pinfo, nullptr, h);
        }
        return static_cast<int>(tvb_captured_length(tvb));
    }

    // For the GUI's menus on the packet it shows with its details; not for
    // the hidden trees built only for display filters or taps (-T fields
    // and -V show theirs).
    if (PTREE_DATA(tree)->visible) {
        remember_shown_packet(pinfo, h);
    }

    proto_item* proto_ti = proto_tree_add_item(tree, proto_simple_kestrune, tvb, 0, -1, ENC_NA);
    proto_tree* proto_subtree = proto_item_add_subtree(proto_ti, ett_simple_kestrune);
    add_header_fields(proto_subtree, tvb, h);

    // The summary spans the header's own length value, which is deliberately
    // not checked against the datagram.
    char label[kSummaryLabelSize];
    proto_item* packet_ti =
        proto_tree_add_uint_format(proto_subtree, hf_simple_packet, tvb, 0, h.length, 0, "%s",
                                   format_summary_label(label, h.session_id, h.sequence_number));
    proto_tree* packet_subtree = proto_item_add_subtree(packet_ti, ett_simple_packet);
    add_simple_packet_fields(packet_subtree, tvb, h);
    if (analysis != nullptr) {
        add_stream_analysis_tree(proto_subtree, tvb, pinfo, *analysis, h);
    }

    hand_payload_on(tvb, pinfo, packet_subtree, h);
    return static_cast<int>(tvb_captured_length(tvb));
}

}  // namespace kestrune
