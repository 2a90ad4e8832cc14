// SPDX-License-Identifier: GPL-2.0-or-later
//
// Counts Simple Packets by packet type and codec, and analyses each media
// stream's sequence numbers for loss, duplicates and reordering. Runs from
// the tap, after dissection, so ordinary C++ containers are safe here.
#include "session_stats.h"

#include <epan/stats_tree.h>

#include <string>
#include <unordered_map>

#include "analysis/sequence_tracker.h"
#include "dissector/tapped_packet.h"
#include "dissector/value_names.h"
#include "stream_key.h"

namespace kestrune {
namespace {

constexpr const char* kPacketTypesNode = "Packet Types";
constexpr const char* kCodecsNode = "Codecs";
constexpr const char* kStreamsNode = "Streams";

struct TreeStream {
    std::string name;
    SequenceTracker tracker;
};

struct TreeState {
    int packet_types = 0;
    int codecs = 0;
    int streams = 0;
    StreamMap<TreeStream> stream_map;
};

// One state per open statistics window: the GUI can show several at once,
// and each starts afresh when its capture is (re)read.
std::unordered_map<stats_tree*, TreeState> states;

void init_tree(stats_tree* st) {
    states.erase(st);
    TreeState& s = states[st];
    s.packet_types = stats_tree_create_node(st, kPacketTypesNode, 0, STAT_DT_INT, TRUE);
    s.codecs = stats_tree_create_node(st, kCodecsNode, 0, STAT_DT_INT, TRUE);
    s.streams = stats_tree_create_node(st, kStreamsNode, 0, STAT_DT_INT, TRUE);
}

void cleanup_tree(stats_tree* st) {
    states.erase(st);
}

tap_packet_status count_packet(stats_tree* st, packet_info* /*pinfo*/, epan_dissect_t* /*edt*/,
                               const void* data, tap_flags /*flags*/) {
    const auto* p = static_cast<const TappedPacket*>(data);
    const SimplePacketHeader& h = p->header;
    TreeState& s = states[st];

    // The type has 3 bits and only 7 has no name.
    tick_stat_node(st, kPacketTypesNode, 0, FALSE);
    tick_stat_node(st, val_to_str_const(h.packet_type, packet_type_names, "Unknown (7)"),
                   s.packet_types, FALSE);
    tick_stat_node(st, kCodecsNode, 0, FALSE);
    tick_stat_node(st, val_to_str_const(h.codec_type, codec_type_names, "Unknown"), s.codecs,
                   FALSE);

    tick_stat_node(st, kStreamsNode, 0, FALSE);
    const StreamKey key = stream_key_of(*p);
    TreeStream* stream = s.stream_map.find(key);
    if (stream == nullptr) {
        stream = &s.stream_map.add(key);
        stream->name = stream_text(key);
    }
    const int node = tick_stat_node(st, stream->name.c_str(), s.streams, TRUE);
    SequenceTracker& t = stream->tracker;
    t.observe(static_cast<std::uint8_t>(h.sequence_number));
    set_stat_node(st, "Missing (sequence gaps)", node, FALSE, static_cast<int>(t.missing()));
    set_stat_node(st, "Duplicates", node, FALSE, static_cast<int>(t.duplicates()));
    set_stat_node(st, "Out of order", node, FALSE, static_cast<int>(t.out_of_order()));
    return TAP_PACKET_REDRAW;
}

}  // namespace

void register_session_stats() {
    stats_tree_register_plugin("simplekestrune", "simplekestrune", "SimpleKestrune", 0,
                               stats_tree_callback<count_packet>, init_tree, cleanup_tree);
}

}  // namespace kestrune
