// SPDX-License-Identifier: GPL-2.0-or-later
// Which of the protocol's sixteen codec types the host can decode for the
// audio export, by what name its codec registry knows them, and how many
// payload bytes make one codec frame. No host dependency: the audio export
// and the tables' audio levels share it.
#pragma once

#include "analysis/rtp_payload.h"  // G726Packing

namespace kestrune::codec {

struct CodecExport {
    // Name in the host's codec registry (wsutil/codecs.h), or nullptr when
    // the host ships no decoder for the codec.
    const char* host_codec = nullptr;
    // G.726: its decoder's name depends on the bit packing, and is the
    // encoding name the RTP tools give it (rtp_payload); host_codec is
    // then nullptr.
    bool named_by_packing = false;
    // A payload must hold a whole number of frames of this many bytes.
    unsigned frame_bytes = 0;
    // Why the codec is not decoded, when it has no decoder name at all.
    const char* not_decoded_because = nullptr;
    // G.711: a stateless decoder whose highest code gives less than 16-bit
    // full scale (32256 for A-law, 32124 for mu-law), the loudest sample
    // the codec can carry.
    bool stateless_companding = false;
};

// The entry for a Codec Type value (only its low four bits count).
const CodecExport& codec_export(unsigned codec_type);

// The name of the host decoder for the codec and packing, or nullptr.
const char* host_codec_name(unsigned codec_type, G726Packing packing);

}  // namespace kestrune::codec
