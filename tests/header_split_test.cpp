// SPDX-License-Identifier: GPL-2.0-or-later
#include "dissector/simple_packet_header.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

// Bytes as they come off the wire; words are little-endian.
SimplePacketHeader split_bytes(unsigned b0, unsigned b1, unsigned b2, unsigned b3, unsigned b4,
                               unsigned b5) {
    return split_simple_packet_header(static_cast<std::uint16_t>(b1 << 8 | b0),
                                      static_cast<std::uint16_t>(b3 << 8 | b2),
                                      static_cast<std::uint16_t>(b5 << 8 | b4));
}

TEST(HeaderSplit, WorkedExampleDtmfPacket) {
    const auto h = split_bytes(0x09, 0x08, 0x31, 0x00, 0x07, 0x03);
    EXPECT_EQ(h.length, 9);
    EXPECT_EQ(h.packet_type, 1);
    EXPECT_FALSE(h.session_sequence);
    EXPECT_FALSE(h.routing_flag);
    EXPECT_EQ(h.codec_type, 1);
    EXPECT_EQ(h.session_id, 3);
    EXPECT_EQ(h.sequence_number, 7);
    EXPECT_EQ(h.payload_size, 3);
}

TEST(HeaderSplit, FlagsAloneInByteOne) {
    const auto h = split_bytes(0x00, 0xC0, 0, 0, 0, 0);
    EXPECT_EQ(h.length, 0);
    EXPECT_EQ(h.packet_type, 0);
    EXPECT_TRUE(h.session_sequence);
    EXPECT_TRUE(h.routing_flag);
    EXPECT_FALSE(split_bytes(0x00, 0x40, 0, 0, 0, 0).routing_flag);
    EXPECT_FALSE(split_bytes(0x00, 0x80, 0, 0, 0, 0).session_sequence);
}

TEST(HeaderSplit, AllOnesGivesEveryFieldItsMaximum) {
    const auto h = split_bytes(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF);
    EXPECT_EQ(h.length, 2047);
    EXPECT_EQ(h.packet_type, 7);
    EXPECT_TRUE(h.session_sequence);
    EXPECT_TRUE(h.routing_flag);
    EXPECT_EQ(h.codec_type, 15);
    EXPECT_EQ(h.session_id, 4095);
    EXPECT_EQ(h.sequence_number, 255);
    EXPECT_EQ(h.payload_size, 255);
}

TEST(HeaderSplit, FieldsDoNotBleedIntoTheirNeighbours) {
    // Length bits 8-10 live in byte 1 under the type; the session ID's low
    // nibble shares byte 2 with the codec.
    auto h = split_bytes(0x00, 0x07, 0x00, 0x00, 0x00, 0x00);
    EXPECT_EQ(h.length, 0x700);
    EXPECT_EQ(h.packet_type, 0);
    h = split_bytes(0x00, 0x38, 0x00, 0x00, 0x00, 0x00);
    EXPECT_EQ(h.length, 0);
    EXPECT_EQ(h.packet_type, 7);
    EXPECT_FALSE(h.session_sequence);
    h = split_bytes(0x00, 0x00, 0xF0, 0x00, 0x00, 0x00);
    EXPECT_EQ(h.codec_type, 0);
    EXPECT_EQ(h.session_id, 15);
    h = split_bytes(0x00, 0x00, 0x0F, 0xFF, 0x00, 0x00);
    EXPECT_EQ(h.codec_type, 15);
    EXPECT_EQ(h.session_id, 0xFF0);
    h = split_bytes(0x00, 0x00, 0x00, 0x00, 0xAB, 0x00);
    EXPECT_EQ(h.sequence_number, 0xAB);
    EXPECT_EQ(h.payload_size, 0);
}

static_assert(split_simple_packet_header(0x0809, 0x0031, 0x0307).session_id == 3,
              "the split is usable at compile time");

}  // namespace
}  // namespace kestrune
