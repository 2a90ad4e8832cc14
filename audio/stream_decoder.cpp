// SPDX-License-Identifier: GPL-2.0-or-later
#include "stream_decoder.h"

#include <cmath>

#include "analysis/stream_analysis.h"

namespace kestrune::audio {

StreamDecoder::StreamDecoder(G726Packing packing, SampleSink& sink)
    // Until the stream shows its own, a lost packet is taken to be 20 ms.
    : packing_(packing), timeline_(*this, sink, kSampleRate / 50) {}

void StreamDecoder::voice(std::uint8_t sequence, unsigned codec, const std::uint8_t* payload,
                          std::size_t captured, std::size_t size) {
    // Until a packet of the stream is decoded, a place without one is as
    // long as the header says its packets are: a stream may start with a
    // packet cut short.
    const double ms = media_length_ms(kVoicePacket, codec, static_cast<unsigned>(size));
    if (ms > 0) {
        timeline_.guess_usual_samples(
            static_cast<std::size_t>(std::lround(ms * kSampleRate / 1000)));
    }
    sequence_.observe(sequence);
    timeline_.add(sequence_.extended(), codec, captured == size ? payload : nullptr, size);
}

void StreamDecoder::not_voice(std::uint8_t sequence) {
    sequence_.observe(sequence);
    timeline_.add_not_voice(sequence_.extended());
}

// A new codec gets a fresh decoder, from the packet where it starts.
void StreamDecoder::switch_to(unsigned codec) {
    codec_changes_ += any_codec_ ? 1 : 0;
    any_codec_ = true;
    codec_ = codec;
    decoder_ = codec::make_host_decoder(codec, packing_);
}

bool StreamDecoder::decode(unsigned codec, const std::uint8_t* payload, std::size_t size,
                           std::vector<std::int16_t>& out) {
    if (!any_codec_ || codec != codec_) {
        switch_to(codec);
    }
    return decoder_ && decoder_->decode(payload, size, out);
}

}  // namespace kestrune::audio
