// SPDX-License-Identifier: GPL-2.0-or-later
// The Info column text, " Packet length =%d, Packet Type =%d", and the
// Simple Packet item's label, "Simple Packet.  Session ID: %03d , Sequnce
// Number: %04d ", written without printf. They are made for every packet,
// and printf-style formatting in the host's column and item calls cost
// several times the rest of the dissection. No host dependency.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestrune {

// Longest texts, for 16-bit values, plus the NUL.
constexpr std::size_t kInfoTextSize = 48;      // " Packet length =65535, Packet Type =65535"
constexpr std::size_t kSummaryLabelSize = 64;  // "Simple Packet.  Session ID: 65535 , ..."

namespace label_text_detail {

constexpr char kBeforeLength[] = " Packet length =";
constexpr char kBeforeType[] = ", Packet Type =";
constexpr char kBeforeSession[] = "Simple Packet.  Session ID: ";
constexpr char kBeforeSequence[] = " , Sequnce Number: ";
constexpr char kAfterSequence[] = " ";

template <std::size_t N>
inline char* put_text(char* p, const char (&text)[N]) {
    std::memcpy(p, text, N - 1);
    return p + N - 1;
}

// Like printf's %0<min_digits>d for an unsigned value.
inline char* put_decimal(char* p, unsigned v, int min_digits = 1) {
    int digits = v < 10 ? 1 : v < 100 ? 2 : v < 1000 ? 3 : v < 10000 ? 4 : 5;
    if (digits < min_digits)
        digits = min_digits;
    for (int i = digits - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    return p + digits;
}

}  // namespace label_text_detail

// Writes the text and its terminating NUL into buf; returns buf.
inline char* format_info_text(char (&buf)[kInfoTextSize], std::uint16_t length,
                              std::uint16_t packet_type) {
    using namespace label_text_detail;
    char* p = put_text(buf, kBeforeLength);
    p = put_decimal(p, length);
    p = put_text(p, kBeforeType);
    p = put_decimal(p, packet_type);
    *p = '\0';
    return buf;
}

// Writes the summary item's label and its terminating NUL; returns buf.
inline char* format_summary_label(char (&buf)[kSummaryLabelSize], std::uint16_t session_id,
                                  std::uint16_t sequence_number) {
    using namespace label_text_detail;
    char* p = put_text(buf, kBeforeSession);
    p = put_decimal(p, session_id, 3);
    p = put_text(p, kBeforeSequence);
    p = put_decimal(p, sequence_number, 4);
    p = put_text(p, kAfterSequence);
    *p = '\0';
    return buf;
}

}  // namespace kestrune
