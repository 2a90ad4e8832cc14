// SPDX-License-Identifier: GPL-2.0-or-later
// Sound for make_capture's G.711 calls: digital silence, a 1 kHz sine of a
// given level, and the same sine at twice full scale, clipped. Encoded with
// the ITU-T G.711 segment rules, so that the decoded level is known: over a
// whole period of 8 samples a sine's mean square is exactly half its
// amplitude squared, whatever its phase.
#pragma once

#include <cstdint>
#include <vector>

namespace make_capture {

enum class Sound : std::uint8_t { noise, silence, tone, clipping };

std::uint8_t linear_to_alaw(int sample);
std::uint8_t linear_to_ulaw(int sample);

// Writes count samples of the sound from sample number first of the
// stream, encoded in A-law (alaw) or mu-law, at payload. The tone's level is
// tone_dbov; the clipping tone's peak is twice full scale, so half its
// samples (those near the peaks) are at the codec's highest code.
void write_g711(std::uint8_t* payload, unsigned count, std::uint64_t first, Sound sound,
                double tone_dbov, bool alaw);

}  // namespace make_capture
