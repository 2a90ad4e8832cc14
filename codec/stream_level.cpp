// SPDX-License-Identifier: GPL-2.0-or-later
#include "stream_level.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>

#include "codec_table.h"

namespace kestrune::codec {
namespace {

// 16-bit full scale: a sample at +32767 or -32768 (and -32767) clips.
constexpr std::uint16_t kFullScale = 32767;

// The tables run from the tap, one packet at a time, so every stream can
// decode into the same buffer.
std::vector<std::int16_t>& scratch() {
    static std::vector<std::int16_t> samples;
    samples.clear();
    return samples;
}

// The largest magnitude a stateless decoder gives, over all 256 codes; 0 if
// it cannot decode them.
std::uint16_t loudest_code(HostDecoder& decoder) {
    std::array<std::uint8_t, 256> codes{};
    for (unsigned c = 0; c < codes.size(); ++c) {
        codes[c] = static_cast<std::uint8_t>(c);
    }
    std::vector<std::int16_t>& samples = scratch();
    if (!decoder.decode(codes.data(), codes.size(), samples)) {
        return 0;
    }
    const auto magnitude = [](std::int16_t s) { return std::abs(static_cast<int>(s)); };
    const auto loudest = std::max_element(
        samples.begin(), samples.end(),
        [&](std::int16_t a, std::int16_t b) { return magnitude(a) < magnitude(b); });
    return static_cast<std::uint16_t>(std::min(magnitude(*loudest), int{kFullScale}));
}

}  // namespace

void StreamLevel::switch_to(unsigned codec, G726Packing packing) {
    codec_ = static_cast<std::uint8_t>(codec);
    any_codec_ = true;
    load_host_codecs();
    decoder_ = make_host_decoder(codec, packing);
    if (!decoder_) {
        return;
    }
    const CodecExport& e = codec_export(codec);
    // The host's G.711 tables are fixed, so their loudest code is looked up
    // once for each law.
    static std::array<std::uint16_t, 16> loudest{};
    if (e.stateless_companding && loudest[codec & 0xFu] == 0) {
        loudest[codec & 0xFu] = loudest_code(*decoder_);
    }
    clip_at_ =
        e.stateless_companding && loudest[codec & 0xFu] != 0 ? loudest[codec & 0xFu] : kFullScale;
}

void StreamLevel::hear(unsigned codec, G726Packing packing, const std::uint8_t* payload,
                       std::size_t captured, std::size_t size, double silent_below) {
    if (!any_codec_ || codec != codec_) {
        switch_to(codec, packing);
    }
    if (!decoder_ || captured != size || payload == nullptr) {
        return;
    }
    std::vector<std::int16_t>& samples = scratch();
    if (decoder_->decode(payload, size, samples)) {
        level_.add(samples.data(), samples.size(), clip_at_, silent_below);
    }
}

std::optional<LevelFigures> StreamLevel::figures(double silent_below) const {
    if (!level_.known()) {
        return std::nullopt;
    }
    return level_.figures(silent_below);
}

std::optional<double> StreamLevel::silent_percent(double silent_below) const {
    if (!level_.known()) {
        return std::nullopt;
    }
    return level_.silent_percent(silent_below);
}

}  // namespace kestrune::codec
