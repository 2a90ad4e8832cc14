// SPDX-License-Identifier: GPL-2.0-or-later
// One stream's audio level, silence and clipping, from its voice payloads
// decoded by the host's decoders as the audio export decodes them. A payload
// that is not decoded (cut short by the capture, not a whole number of
// codec frames, a codec the host has no decoder for) is not audio and does
// not count; the caller leaves out lost, late and non-voice slots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "analysis/audio_level.h"
#include "analysis/rtp_payload.h"  // G726Packing
#include "host_codec.h"

namespace kestrune::codec {

class StreamLevel {
public:
    // size: the header's Payload Size; captured: the bytes of it at payload.
    // silent_below: mean_square_at() the silence threshold.
    void hear(unsigned codec, G726Packing packing, const std::uint8_t* payload,
              std::size_t captured, std::size_t size, double silent_below);

    // Nothing while no payload was decoded.
    std::optional<LevelFigures> figures(double silent_below) const;
    std::optional<double> silent_percent(double silent_below) const;

private:
    void switch_to(unsigned codec, G726Packing packing);

    AudioLevel level_;
    // The decoder for codec_, or nullptr when the host has none for it. The
    // decoders keep state from one packet to the next (G.726, G.729), so
    // each stream has its own, made again when its codec changes.
    std::unique_ptr<HostDecoder> decoder_;
    std::uint16_t clip_at_ = 0;
    std::uint8_t codec_ = 0;
    bool any_codec_ = false;
};

}  // namespace kestrune::codec
