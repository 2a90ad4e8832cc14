// SPDX-License-Identifier: GPL-2.0-or-later
// How a voice stream looks to the host's RTP tools: the RTP payload type and
// encoding name of each codec type. No host dependency.
#pragma once

namespace kestrune {

// How G.726 codewords are packed into a payload's bytes: RFC 3551 puts the
// first codeword in a byte's least significant bits, AAL2 in its most
// significant ones.
enum class G726Packing { rfc3551, aal2 };

// Every codec with a fixed rate runs an 8 kHz clock.
constexpr unsigned kRtpClockRate = 8000;

struct RtpPayload {
    // RFC 3551's static number where it has one, else a number from the
    // dynamic range (96 + codec type); negative: not a voice codec with a
    // fixed rate, so not reported as RTP.
    int number;
    // The encoding name of a dynamic number, as the host's codec modules
    // register it where they have a decoder; nullptr for a static number
    // (the host names those itself).
    const char* name;
};

// For a Codec Type value (only its low four bits count).
RtpPayload rtp_payload(unsigned codec_type, G726Packing packing);

}  // namespace kestrune
