// SPDX-License-Identifier: GPL-2.0-or-later
#include "codec_table.h"

namespace kestrune::codec {
namespace {

constexpr const char* kNoG723 = "the host has no G.723.1 decoder";
constexpr const char* kNoG727 = "the host has no G.727 decoder";
constexpr const char* kNoVocantis = "the host has no Vocantis decoder";

// Indexed by Codec Type. The host's codec modules register "g711A",
// "g711U", "g729" and, for G.726, one decoder for each bit packing under
// the encoding names the RTP tools use too. G.726 frames: 16 kbit/s
// is 4 samples a byte, 32 kbit/s 2 samples a byte, 24 kbit/s 8 samples in 3
// bytes; G.729 frames are 10 bytes, G.711 one byte a sample.
const CodecExport table[16] = {
    {nullptr, true, 1, nullptr},                                      // G726_16
    {nullptr, false, 0, kNoG723},                                     // G723Low
    {nullptr, false, 0, kNoG723},                                     // G723High
    {"g729", false, 10, nullptr},                                     // G729
    {"g711A", false, 1, nullptr, true},                               // G711Alaw
    {"g711U", false, 1, nullptr, true},                               // G711Mulaw
    {nullptr, false, 0, kNoVocantis},                                 // Vocantis_9_6
    {nullptr, true, 1, nullptr},                                      // G726_32
    {nullptr, false, 0, "the host has no G.728 decoder"},             // G728
    {nullptr, false, 0, kNoVocantis},                                 // Vocantis_7_2
    {nullptr, false, 0, kNoG727},                                     // G727_16
    {nullptr, false, 0, kNoG727},                                     // G727_32
    {nullptr, false, 0, kNoVocantis},                                 // Vocantis_4_8
    {nullptr, false, 0, "Transparent payloads are not coded voice"},  // Transparent
    {nullptr, false, 0, kNoG727},                                     // G727_24_16
    {nullptr, true, 3, nullptr},                                      // G726_24
};

}  // namespace

const CodecExport& codec_export(unsigned codec_type) {
    return table[codec_type & 0xFu];
}

const char* host_codec_name(unsigned codec_type, G726Packing packing) {
    const CodecExport& c = codec_export(codec_type);
    return c.named_by_packing ? rtp_payload(codec_type, packing).name : c.host_codec;
}

}  // namespace kestrune::codec
