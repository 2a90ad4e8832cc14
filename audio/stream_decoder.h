// SPDX-License-Identifier: GPL-2.0-or-later
// One voice stream turned into 8 kHz samples: its packets put in order by
// their sequence numbers (wraps counted) and each decoded by the host's
// decoder for the packet's own codec. Where the samples go is given, so
// that the mono export and a writer of several channels can share it.
#pragma once

#include <cstdint>
#include <memory>

#include "analysis/sequence_tracker.h"
#include "codec/codec_table.h"
#include "codec/host_codec.h"
#include "timeline.h"

namespace kestrune::audio {

class StreamDecoder : private PayloadDecoder {
public:
    // Every codec the export decodes gives this rate; a decoder that gives
    // another is not used.
    static constexpr unsigned kSampleRate = 8000;

    StreamDecoder(G726Packing packing, SampleSink& sink);

    // size: the header's Payload Size; captured: the bytes of it at payload.
    // One not captured whole becomes silence.
    void voice(std::uint8_t sequence, unsigned codec, const std::uint8_t* payload,
               std::size_t captured, std::size_t size);
    // DTMF, fax and modem packets of the session keep their places as silence.
    void not_voice(std::uint8_t sequence);
    // Writes out the packets still held for reordering.
    void finish() { timeline_.finish(); }

    const TimelineCounts& counts() const { return timeline_.counts(); }
    // How often the codec changed from one packet to the next, in sequence order.
    unsigned long codec_changes() const { return codec_changes_; }

private:
    bool decode(unsigned codec, const std::uint8_t* payload, std::size_t size,
                std::vector<std::int16_t>& out) override;
    void switch_to(unsigned codec);

    G726Packing packing_;
    SequenceTracker sequence_;
    Timeline timeline_;
    // The decoder for codec_, or nullptr when the host has none for it.
    std::unique_ptr<codec::HostDecoder> decoder_;
    unsigned codec_ = 0;
    bool any_codec_ = false;
    unsigned long codec_changes_ = 0;
};

}  // namespace kestrune::audio
