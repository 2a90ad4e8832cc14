// SPDX-License-Identifier: GPL-2.0-or-later
// Two mono WAV files laid side by side as the left and right channels of
// one stereo file, each from its own offset, the shorter one padded with
// silence at its end. Reads the mono files back in fixed-size pieces, so a
// call of any length takes the same memory.
#pragma once

#include <cstdint>
#include <string>

namespace kestrune::audio {

class WavFile;

struct ChannelSource {
    // A mono 16-bit WAV file; empty for a channel that is silent throughout.
    std::string path;
    // Frames of silence before the file's first sample.
    std::uint64_t offset = 0;
};

// Writes the interleaved frames into out, a two-channel WavFile. Returns
// the number of frames written, or -1 with error set when a source cannot
// be read or out fails.
std::int64_t merge_stereo(const ChannelSource& left, const ChannelSource& right, WavFile& out,
                          std::string& error);

}  // namespace kestrune::audio
