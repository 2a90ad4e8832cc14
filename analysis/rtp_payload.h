// SPDX-License-Identifier: GPL-2.0-or-later
// How a stream looks to the host's RTP tools: the RTP payload type and
// encoding name of each codec type, and the payload types of the packets on
// the stream's media clock that carry no audio. No host dependency.
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
    // dynamic range (96 + codec type); negative: a codec without a fixed
    // rate, which rtp_payload_number_without_audio numbers.
    int number;
    // The encoding name of a dynamic number, as the host's codec modules
    // register it where they have a decoder; nullptr for a static number
    // (the host names those itself).
    const char* name;
};

// For a Codec Type value (only its low four bits count).
RtpPayload rtp_payload(unsigned codec_type, G726Packing packing);

// DTMF, fax and modem packets, packet type 7 and voice of a codec without a
// fixed rate take sequence numbers and media-clock slots like the voice
// around them, so the RTP tools must be told of them or count them lost,
// as RFC 4733 events share a voice stream's numbers under a payload type of
// their own. Each kind gets a dynamic number that no voice codec uses: a
// codec without a fixed rate keeps 96 + its Codec Type (the numbers the
// table above leaves free), packet type T (1 to 7) gets 111 + T.
int rtp_payload_number_without_audio(unsigned packet_type, unsigned codec_type);

}  // namespace kestrune
