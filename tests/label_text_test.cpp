// SPDX-License-Identifier: GPL-2.0-or-later
#include "dissector/label_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace kestrune {
namespace {

// The column text must be exactly what the printf format gives, for every
// length and type a header can carry and for the widest 16-bit values.
TEST(InfoText, MatchesThePrintfFormatForEveryHeaderValue) {
    char ours[kInfoTextSize];
    char reference[64];
    auto check = [&](unsigned length, unsigned type) {
        std::snprintf(reference, sizeof reference, " Packet length =%d, Packet Type =%d",
                      static_cast<int>(length), static_cast<int>(type));
        ASSERT_STREQ(format_info_text(ours, static_cast<std::uint16_t>(length),
                                      static_cast<std::uint16_t>(type)),
                     reference);
    };
    for (unsigned length = 0; length < 2048; ++length) {
        for (unsigned type = 0; type < 8; ++type) check(length, type);
    }
    check(65535, 65535);
    EXPECT_LT(std::strlen(ours), kInfoTextSize);
}

TEST(SummaryLabel, MatchesThePrintfFormatForEveryHeaderValue) {
    char ours[kSummaryLabelSize];
    char reference[96];
    auto check = [&](unsigned session, unsigned sequence) {
        std::snprintf(reference, sizeof reference,
                      "Simple Packet.  Session ID: %03d , Sequnce Number: %04d ",
                      static_cast<int>(session), static_cast<int>(sequence));
        ASSERT_STREQ(format_summary_label(ours, static_cast<std::uint16_t>(session),
                                          static_cast<std::uint16_t>(sequence)),
                     reference);
    };
    for (unsigned session = 0; session < 4096; ++session) {
        for (unsigned sequence = 0; sequence < 256; ++sequence) check(session, sequence);
    }
    check(65535, 65535);
    EXPECT_LT(std::strlen(ours), kSummaryLabelSize);
}

}  // namespace
}  // namespace kestrune
