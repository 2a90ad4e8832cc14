// SPDX-License-Identifier: GPL-2.0-or-later
#include "rtp_payload.h"

#include "stream_analysis.h"  // kVoicePacket

namespace kestrune {
namespace {

constexpr int kDynamic = 96;
constexpr int kPacketTypeBase = 111;
constexpr int kNoFixedRate = -1;  // numbered by rtp_payload_number_without_audio

struct Entry {
    int number;
    const char* rfc3551_name;
    const char* aal2_name;
};

// Indexed by Codec Type. The static numbers are RFC 3551's (PCMU 0, G723 4,
// PCMA 8, G728 15, G729 18). G.726 has no static number left (2 was given
// up for lack of agreement on its packing): RFC 3551 names it G726-16/24/32,
// and the host's decoders for the AAL2 packing register an AAL2- prefix.
// G.727 has no registered encoding name; these say which rate it carries.
constexpr Entry table[16] = {
    {kDynamic + 0, "G726-16", "AAL2-G726-16"},   // G726_16
    {4, nullptr, nullptr},                       // G723Low
    {4, nullptr, nullptr},                       // G723High
    {18, nullptr, nullptr},                      // G729
    {8, nullptr, nullptr},                       // G711Alaw
    {0, nullptr, nullptr},                       // G711Mulaw
    {kNoFixedRate, nullptr, nullptr},            // Vocantis_9_6
    {kDynamic + 7, "G726-32", "AAL2-G726-32"},   // G726_32
    {15, nullptr, nullptr},                      // G728
    {kNoFixedRate, nullptr, nullptr},            // Vocantis_7_2
    {kDynamic + 10, "G727-16", "G727-16"},       // G727_16
    {kDynamic + 11, "G727-32", "G727-32"},       // G727_32
    {kNoFixedRate, nullptr, nullptr},            // Vocantis_4_8
    {kNoFixedRate, nullptr, nullptr},            // Transparent
    {kDynamic + 14, "G727-24", "G727-24"},       // G727_24_16
    {kDynamic + 15, "G726-24", "AAL2-G726-24"},  // G726_24
};

}  // namespace

int rtp_payload_number_without_audio(unsigned packet_type, unsigned codec_type) {
    return packet_type == kVoicePacket ? kDynamic + static_cast<int>(codec_type & 0xFu)
                                       : kPacketTypeBase + static_cast<int>(packet_type & 7u);
}

RtpPayload rtp_payload(unsigned codec_type, G726Packing packing) {
    const Entry& e = table[codec_type & 0xFu];
    return {e.number, packing == G726Packing::aal2 ? e.aal2_name : e.rfc3551_name};
}

}  // namespace kestrune
