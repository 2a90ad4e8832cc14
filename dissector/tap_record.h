// SPDX-License-Identifier: GPL-2.0-or-later
// What the dissector queues to the "simplekestrune" tap for each packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "simple_packet_header.h"

namespace kestrune {

struct SimplePacketTapRecord {
    // First, so that a listener that only wants the header can read the
    // record as a SimplePacketHeader, as listeners did before the payload
    // was added.
    SimplePacketHeader header;
    // The captured part of the payload, in the host's packet buffer: valid
    // while the tap listeners run for this packet, not after. Fewer than
    // header.payload_size bytes when the datagram is cut short.
    const std::uint8_t* payload;
    unsigned payload_captured;
};

static_assert(std::is_standard_layout<SimplePacketTapRecord>::value &&
                  offsetof(SimplePacketTapRecord, header) == 0,
              "listeners read the record's start as a SimplePacketHeader");

}  // namespace kestrune
