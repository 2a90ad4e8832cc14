// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <epan/packet.h>

#include "simple_packet_header.h"
#include "stream_tracking.h"

namespace kestrune {

// Adds the "Stream Analysis" subtree, its generated items and the expert
// information for what the packet told about its stream.
void add_stream_analysis_tree(proto_tree* tree, tvbuff_t* tvb, packet_info* pinfo,
                              const FrameAnalysis& r, const SimplePacketHeader& h);

// Whether anyone reads expert information without a tree (tshark -z expert).
bool expert_tap_listening();

}  // namespace kestrune
