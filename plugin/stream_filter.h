// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <epan/packet.h>

namespace kestrune {

// Offers "SimpleKestrune stream" under the GUI's Conversation Filter menus.
void register_stream_filter();

// The display filter for the packet's stream (source and destination
// address and port, session ID), g_malloc'd; nullptr if the packet has no
// Simple Packet shown with its details, or is not carried over UDP/IP.
char* build_stream_filter(packet_info* pinfo);

}  // namespace kestrune
