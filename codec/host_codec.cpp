// SPDX-License-Identifier: GPL-2.0-or-later
#include "host_codec.h"

#include "codec_table.h"

namespace kestrune::codec {

namespace {
// What every codec this protocol carries produces.
constexpr unsigned kNarrowbandRate = 8000;
}  // namespace

void load_host_codecs() {
    static bool tried = false;
    if (tried) {
        return;
    }
    tried = true;
    for (unsigned codec_type = 0; codec_type < 16; ++codec_type) {
        const char* name = codec_export(codec_type).host_codec;
        if (name != nullptr && find_codec(name) != nullptr) {
            return;
        }
    }
    codecs_init();
}

codec_handle_t find_host_decoder(unsigned codec_type, G726Packing packing, std::string& why) {
    const char* name = host_codec_name(codec_type, packing);
    if (name == nullptr) {
        why = codec_export(codec_type).not_decoded_because;
        return nullptr;
    }
    codec_handle_t handle = find_codec(name);
    if (handle == nullptr) {
        why = std::string("no \"") + name + "\" decoder among the host's codec modules";
    }
    return handle;
}

HostDecoder::HostDecoder(codec_handle_t handle, unsigned frame_bytes)
    : handle_(handle), frame_bytes_(frame_bytes) {
#if KESTRUNE_CODEC_CONTEXT
    context_.sample_rate = kNarrowbandRate;
    context_.channels = 1;
    context_.priv = codec_init(handle_, state_);
#else
    state_ = codec_init(handle_);
#endif
}

HostDecoder::~HostDecoder() {
    codec_release(handle_, state_);
}

unsigned HostDecoder::sample_rate() {
    const unsigned rate = codec_get_frequency(handle_, state_);
    return rate != 0 ? rate : kNarrowbandRate;
}

bool HostDecoder::decode(const std::uint8_t* payload, std::size_t size,
                         std::vector<std::int16_t>& out) {
    // A partial frame would put a stateful decoder (G.726, G.729) out of
    // step for the rest of the stream.
    if (size == 0 || size % frame_bytes_ != 0) {
        return false;
    }
    // First the size the codec needs, then the decoding; both in bytes.
    const size_t needed = codec_decode(handle_, state_, payload, size, nullptr, nullptr);
    if (needed == 0 || needed % sizeof(std::int16_t) != 0) {
        return false;
    }
    const std::size_t start = out.size();
    out.resize(start + (needed / sizeof(std::int16_t)));
    size_t room = needed;
    const size_t got = codec_decode(handle_, state_, payload, size, out.data() + start, &room);
    if (got != needed) {
        out.resize(start);
        return false;
    }
    return true;
}

std::unique_ptr<HostDecoder> make_host_decoder(unsigned codec_type, G726Packing packing) {
    std::string why;
    codec_handle_t handle = find_host_decoder(codec_type, packing, why);
    if (handle == nullptr) {
        return nullptr;
    }
    auto decoder = std::make_unique<HostDecoder>(handle, codec_export(codec_type).frame_bytes);
    if (decoder->sample_rate() != kNarrowbandRate) {
        return nullptr;
    }
    return decoder;
}

}  // namespace kestrune::codec
