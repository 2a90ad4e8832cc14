// SPDX-License-Identifier: GPL-2.0-or-later
// The audio export's dependence on the host release, in one place.
//
// Codec API: on 4.0 codec_init() returns the decoder's state and the other
// calls take it back as a void pointer. From 4.4 the caller owns a
// codec_context_t (sample rate, channels, format parameters) that is passed
// to every call, and codec_init()'s result has to be kept in its priv
// member. find_codec() matches names exactly on 4.0 and ignoring case later;
// the names used here are spelt as the codec modules register them.
//
// -z handlers: on 4.6 the init callback returns whether it accepted its
// argument and tshark stops when it did not; before that it returns nothing
// and the host's own handlers end the process on a bad argument.
#pragma once

#include <ws_version.h>

#include <cstdlib>

#define KESTRUNE_HOST_AT_LEAST(major, minor) \
    (WIRESHARK_VERSION_MAJOR > (major) ||    \
     (WIRESHARK_VERSION_MAJOR == (major) && WIRESHARK_VERSION_MINOR >= (minor)))

#define KESTRUNE_CODEC_CONTEXT KESTRUNE_HOST_AT_LEAST(4, 4)

namespace kestrune::audio {

#if KESTRUNE_HOST_AT_LEAST(4, 6)
using StatTapInitResult = bool;
inline bool stat_tap_init_result(bool accepted) {
    return accepted;
}
#else
using StatTapInitResult = void;
inline void stat_tap_init_result(bool accepted) {
    if (!accepted) {
        std::exit(1);
    }
}
#endif

}  // namespace kestrune::audio
