// SPDX-License-Identifier: GPL-2.0-or-later
// The differences between the host releases the plugin builds against
// (4.0, 4.4 and 4.6), in one place and keyed on the host's own version
// macros, so that no other file needs an #if.
#pragma once

#include <ws_version.h>

#define KESTRUNE_HOST_AT_LEAST(major, minor) \
    (WIRESHARK_VERSION_MAJOR > (major) ||    \
     (WIRESHARK_VERSION_MAJOR == (major) && WIRESHARK_VERSION_MINOR >= (minor)))

// 4.6 moved the value-to-name lists from epan/ to wsutil/.
#if KESTRUNE_HOST_AT_LEAST(4, 6)
#include <wsutil/value_string.h>
#else
#include <epan/value_string.h>
#endif

// From 4.2 on the loader asks each module what it provides (plugin_describe);
// without an answer it lists the plugin's type as "unknown".
#if KESTRUNE_HOST_AT_LEAST(4, 2)
#include <wsutil/plugins.h>
#define KESTRUNE_HOST_DESCRIBES_PLUGINS 1
#else
#define KESTRUNE_HOST_DESCRIBES_PLUGINS 0
#endif

#include <epan/packet.h>
#include <epan/prefs-int.h>

#include <utility>

namespace kestrune {

// A heuristic dissector answers gboolean up to 4.0 and bool from 4.2 on;
// taken from the host's own callback type rather than from its version.
using heuristic_verdict =
    decltype(std::declval<heur_dissector_t>()(nullptr, nullptr, nullptr, nullptr));

// The current value of an unsigned preference, read from the preference
// itself: 4.6 gave the accessor of that shape the short name.
inline unsigned current_uint_preference(pref_t* pref) {
#if KESTRUNE_HOST_AT_LEAST(4, 6)
    return prefs_get_uint_value(pref, pref_current);
#else
    return prefs_get_uint_value_real(pref, pref_current);
#endif
}

}  // namespace kestrune
