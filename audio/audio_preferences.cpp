// SPDX-License-Identifier: GPL-2.0-or-later
#include "audio_preferences.h"

namespace kestrune::audio {
namespace {

// The host's preference code stores an enum preference in an int.
int packing = static_cast<int>(G726Packing::rfc3551);

const enum_val_t packing_values[] = {
    {"rfc3551", "RFC 3551 (first codeword in the low bits)",
     static_cast<int>(G726Packing::rfc3551)},
    {"aal2", "ATM AAL2, I.366.2 (first codeword in the high bits)",
     static_cast<int>(G726Packing::aal2)},
    {nullptr, nullptr, 0},
};

}  // namespace

void register_audio_preferences(module_t* module) {
    prefs_register_enum_preference(
        module, "g726_packing", "G.726 bit packing",
        "How the audio export unpacks G.726 payloads: as RFC 3551 packs them, or as ATM AAL2 "
        "gateways do. Played with the wrong one, speech turns into noise.",
        &packing, packing_values, FALSE);
}

G726Packing g726_packing() {
    return packing == static_cast<int>(G726Packing::aal2) ? G726Packing::aal2
                                                          : G726Packing::rfc3551;
}

}  // namespace kestrune::audio
