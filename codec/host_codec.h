// SPDX-License-Identifier: GPL-2.0-or-later
// Decoders from the host's codec registry (wsutil/codecs.h).
#pragma once

#include <wsutil/codecs.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec_table.h"
#include "dissector/host_compat.h"

namespace kestrune::codec {

// Fills the host's codec registry if nobody has. Wireshark loads the codec
// modules at start-up, but tshark (4.0 to 4.6) only for `-G plugins`. The
// host's codecs_init() is not made to run twice: a second call loads the
// modules again and leaves duplicate entries, so it is called only when
// none of the codecs this protocol uses is registered, and only once.
void load_host_codecs();

// The host's decoder for the codec and packing, or nullptr; then why says why.
codec_handle_t find_host_decoder(unsigned codec_type, G726Packing packing, std::string& why);

// One stream's decoder for one codec.
class HostDecoder {
public:
    // handle must come from find_codec(); frame_bytes: a payload must hold a
    // whole number of frames of this size.
    HostDecoder(codec_handle_t handle, unsigned frame_bytes);
    ~HostDecoder();
    HostDecoder(const HostDecoder&) = delete;
    HostDecoder& operator=(const HostDecoder&) = delete;

    unsigned sample_rate();
    bool decode(const std::uint8_t* payload, std::size_t size, std::vector<std::int16_t>& out);

private:
    codec_handle_t handle_;
    unsigned frame_bytes_;
#if KESTRUNE_CODEC_CONTEXT
    codec_context_t context_{};
    codec_context_t* state_ = &context_;
#else
    void* state_ = nullptr;
#endif
};

// A fresh decoder for the codec and packing, or nullptr when the host has
// none, or none that gives 8 kHz samples as every codec of the protocol
// does. The decoders keep state from one packet to the next (G.726, G.729),
// so each stream needs its own, made again where its codec changes.
std::unique_ptr<HostDecoder> make_host_decoder(unsigned codec_type, G726Packing packing);

}  // namespace kestrune::codec
