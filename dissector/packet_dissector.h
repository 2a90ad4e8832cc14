// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <epan/packet.h>

#include "host_compat.h"
#include "simple_packet_header.h"

namespace kestrune {

// The host calls this for every datagram of the protocol. It decodes the
// first Simple Packet, writes the Protocol and Info columns, builds the tree
// when one is asked for and hands the payload to the "data" dissector.
int dissect_simple_kestrune(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree, void* data);

// Reads the three little-endian header words at bytes 0, 2 and 4 and splits
// them; throws the host's bounds exception if the buffer is shorter.
// Inline: it is on every packet's path.
inline SimplePacketHeader read_simple_packet_header(tvbuff_t* tvb) {
    return split_simple_packet_header(tvb_get_letohs(tvb, 0), tvb_get_letohs(tvb, 2),
                                      tvb_get_letohs(tvb, 4));
}

// Heuristic entry for UDP on any port: claims a datagram only when it is
// exactly one Simple Packet of a named type, then dissects it as above.
heuristic_verdict dissect_simple_kestrune_heur(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree,
                                               void* data);

}  // namespace kestrune
