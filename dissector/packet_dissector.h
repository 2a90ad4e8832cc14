// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <epan/packet.h>

namespace kestrune {

// The host calls this for every datagram of the protocol. It decodes the
// first Simple Packet, writes the Protocol and Info columns, builds the tree
// when one is asked for and hands the payload to the "data" dissector.
int dissect_simple_kestrune(tvbuff_t* tvb, packet_info* pinfo, proto_tree* tree, void* data);

}  // namespace kestrune
