// SPDX-License-Identifier: GPL-2.0-or-later
// Packets reported to the host's "rtp" tap, as its own RTP dissector reports
// an RTP packet: the RTP Streams list, RTP Stream Analysis, the RTP
// Player and tshark's -z rtp,... then work on Simple Kestrune calls.
#pragma once

#include <epan/packet.h>

#include "analysis/rtp_payload.h"
#include "host_compat.h"
#include "simple_packet_header.h"
#include "stream_tracking.h"

namespace kestrune {

// "simplekestrune.rtp_tools": off, nothing is reported to the "rtp" tap.
extern bool_preference rtp_tools;

// "simplekestrune.g726_packing", stored as the host stores an enum
// preference; read through g726_packing().
extern int g726_packing_preference;
G726Packing g726_packing();

// Whether anything listens to the "rtp" tap now (and the preference is on):
// the host's RTP tools register their listener only while they are open.
bool rtp_tools_listening();

// Queues the packet for the "rtp" tap if it has its place on the stream's
// media clock: voice of a codec with a fixed rate under its codec's payload
// type, any other packet under one of its own; the report lives in the
// packet's scope. Reads only captured bytes: never throws.
void report_rtp_packet(tvbuff_t* tvb, packet_info* pinfo, const SimplePacketHeader& h,
                       const FrameAnalysis& analysis);

}  // namespace kestrune
