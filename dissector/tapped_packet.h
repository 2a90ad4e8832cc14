// SPDX-License-Identifier: GPL-2.0-or-later
// What the "simplekestrune" tap carries for each Simple Packet.
#pragma once

#include <epan/address.h>

#include <cstdint>

#include "simple_packet_header.h"

namespace kestrune {

// The header comes first, so a tap reader may take the record as a
// SimplePacketHeader. The endpoints are the ones the packet was carried
// between, taken when it was dissected: the taps run after the whole frame,
// when the layers around the packet (an ICMP error quoting a datagram, say)
// may have set the packet_info's again. The addresses are shallow: they
// point into the frame or its packet scope, valid while the taps run; copy
// them to keep them. A plain struct: the dissection routine fills it field
// by field in the packet's own memory.
struct TappedPacket {
    // cppcheck-suppress uninitMemberVarNoCtor
    SimplePacketHeader header;
    address src;
    address dst;
    // cppcheck-suppress uninitMemberVarNoCtor
    std::uint32_t src_port;
    // cppcheck-suppress uninitMemberVarNoCtor
    std::uint32_t dst_port;
    // The captured part of the payload, in the frame's buffer and valid while
    // the taps run: fewer than header.payload_size bytes when the datagram
    // is cut short.
    // cppcheck-suppress uninitMemberVarNoCtor
    const std::uint8_t* payload;
    // cppcheck-suppress uninitMemberVarNoCtor
    unsigned payload_captured;
};

}  // namespace kestrune
