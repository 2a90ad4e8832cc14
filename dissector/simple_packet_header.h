// SPDX-License-Identifier: GPL-2.0-or-later
// The 6-byte Simple Packet header: three little-endian 16-bit words.
// Pure bit arithmetic, kept free of the host so it can be tested alone.
#pragma once

#include <cstdint>

namespace kestrune {

constexpr int kSimplePacketHeaderSize = 6;

struct SimplePacketHeader {
    std::uint16_t length;           // word0 bits 0-10
    std::uint16_t packet_type;      // word0 bits 11-13
    bool session_sequence;          // word0 bit 14
    bool routing_flag;              // word0 bit 15
    std::uint16_t codec_type;       // word1 bits 0-3
    std::uint16_t session_id;       // word1 bits 4-15
    std::uint16_t sequence_number;  // word2 bits 0-7 (byte 4)
    std::uint16_t payload_size;     // word2 bits 8-15 (byte 5)
};

// Splits the three header words, each already read as a little-endian value.
constexpr SimplePacketHeader split_simple_packet_header(std::uint16_t word0, std::uint16_t word1,
                                                        std::uint16_t word2) {
    return SimplePacketHeader{
        static_cast<std::uint16_t>(word0 & 0x07FFu),
        static_cast<std::uint16_t>((word0 & 0x3800u) >> 11),
        ((word0 & 0x4000u) >> 14) != 0,
        ((word0 & 0x8000u) >> 15) != 0,
        static_cast<std::uint16_t>(word1 & 0x000Fu),
        static_cast<std::uint16_t>((word1 & 0xFFF0u) >> 4),
        static_cast<std::uint16_t>(word2 & 0x00FFu),
        static_cast<std::uint16_t>((word2 & 0xFF00u) >> 8),
    };
}

}  // namespace kestrune
