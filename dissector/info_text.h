// SPDX-License-Identifier: GPL-2.0-or-later
// The Info column text, " Packet length =%d, Packet Type =%d", written
// without printf: it is made for every packet in the packet list, and the
// host's printf-style column call costs several times the rest of the
// dissection in summary mode. No host dependency.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestrune {

// Longest text: " Packet length =65535, Packet Type =65535" plus the NUL.
constexpr std::size_t kInfoTextSize = 48;

namespace info_text_detail {

constexpr char kBeforeLength[] = " Packet length =";
constexpr char kBeforeType[] = ", Packet Type =";

template <std::size_t N>
inline char* put_text(char* p, const char (&text)[N]) {
    std::memcpy(p, text, N - 1);
    return p + N - 1;
}

inline char* put_decimal(char* p, unsigned v) {
    const int digits = v < 10 ? 1 : v < 100 ? 2 : v < 1000 ? 3 : v < 10000 ? 4 : 5;
    for (int i = digits - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    return p + digits;
}

}  // namespace info_text_detail

// Writes the text and its terminating NUL into buf; returns buf.
inline char* format_info_text(char (&buf)[kInfoTextSize], std::uint16_t length,
                              std::uint16_t packet_type) {
    using namespace info_text_detail;
    char* p = put_text(buf, kBeforeLength);
    p = put_decimal(p, length);
    p = put_text(p, kBeforeType);
    p = put_decimal(p, packet_type);
    *p = '\0';
    return buf;
}

}  // namespace kestrune
