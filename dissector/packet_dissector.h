// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <epan/packet.h>

namespace kestrune {

// The host calls this for every datagram of the protocol. It decodes the
// first Simple Packet, writes the Protocol and Info columns, builds the tree
// when one is asked for and hands the payload to the "data" dissector.
int dissect_simple_kestrune(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree, void* data);

// Heuristic entry for UDP on any port: claims a datagram only when it is
// exactly one Simple Packet of a named type, then dissects it as above.
gboolean dissect_simple_kestrune_heur(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree,
                                      void* data);

}  // namespace kestrune
