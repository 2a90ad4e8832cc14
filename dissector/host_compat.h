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

// Codec API (wsutil/codecs.h): on 4.0 codec_init() returns the decoder's
// state and the other calls take it back as a void pointer. On 4.4 and 4.6
// the caller owns a codec_context_t (sample rate, channels, format
// parameters) passed to every call, and keeps codec_init()'s result in its
// priv member. (4.2 is not among the hosts built against.)
#define KESTRUNE_CODEC_CONTEXT KESTRUNE_HOST_AT_LEAST(4, 4)

#include <epan/packet.h>
// After packet.h, which brings the glib types it needs on 4.0.
#include <epan/conversation_filter.h>
#include <epan/prefs-int.h>
#include <epan/prefs.h>
#include <epan/stat_tap_ui.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>
#include <utility>

// The flow graph (Statistics › Flow Graph, tshark -z flow,NAME,...):
// libwireshark exports its functions in every release, but no release's
// development files install epan/sequence_analysis.h. These are the parts of
// it the plugin uses. The host allocates and frees the items, so only the
// members up to the ones the plugin writes are declared; their layout is the
// same in every release but for the flags, gboolean on 4.0 and bool from 4.4
// on (checked against each release's libwireshark, which sets
// has_color_filter at byte 108 with a 4-byte or a 1-byte store).
namespace kestrune::host_flow {
#if KESTRUNE_HOST_AT_LEAST(4, 4)
using flag = bool;
#else
using flag = gboolean;
#endif

struct Item {
    guint32 frame_number;
    address src_addr;
    guint16 port_src;
    address dst_addr;
    guint16 port_dst;
    gchar* frame_label;  // above the arrow; the host frees it with g_free
    gchar* time_str;
    gchar* comment;  // right of the graph; the host frees it with g_free
    guint16 conv_num;
    unsigned fg_color;
    unsigned bg_color;
    flag has_color_filter;
    flag display;
    guint src_node;
    guint dst_node;
    guint16 line_style;
};

struct Info {
    const char* name;
    flag any_addr;
    int nconv;
    GQueue* items;  // of Item*, in the order pushed
};

static_assert(offsetof(Item, frame_label) == 72 && offsetof(Item, comment) == 88);
static_assert(offsetof(Item, has_color_filter) == 108);
static_assert(offsetof(Info, items) == 16);
}  // namespace kestrune::host_flow

extern "C" {
void register_seq_analysis(const char* name, const char* ui_name, int proto_id,
                           const char* tap_listener, guint tap_flags, tap_packet_cb tap_func);
// A new item with the packet's addresses and time; nullptr when it has none.
kestrune::host_flow::Item* sequence_analysis_create_sai_with_addresses(
    packet_info* pinfo, kestrune::host_flow::Info* sainfo);
}

namespace kestrune {

// A heuristic dissector answers gboolean up to 4.0 and bool from 4.2 on;
// taken from the host's own callback type rather than from its version.
using heuristic_verdict =
    decltype(std::declval<heur_dissector_t>()(nullptr, nullptr, nullptr, nullptr));

// A boolean preference's variable: gboolean up to 4.4, bool from 4.6 on;
// taken from the host's own registration call.
template <typename Registration>
struct preference_variable;
template <typename Variable>
struct preference_variable<void (*)(module_t*, const char*, const char*, const char*, Variable*)> {
    using type = Variable;
};
using bool_preference =
    typename preference_variable<decltype(&prefs_register_bool_preference)>::type;

// A uint table's dissector, called with data: 4.6 renamed the call (the
// old name remains, deprecated).
inline int try_uint_dissector(dissector_table_t table, std::uint32_t value, tvbuff_t* tvb,
                              packet_info* pinfo, proto_tree* tree, void* data) {
#if KESTRUNE_HOST_AT_LEAST(4, 6)
    return dissector_try_uint_with_data(table, value, tvb, pinfo, tree, true, data);
#else
    return dissector_try_uint_new(table, value, tvb, pinfo, tree, TRUE, data);
#endif
}

// A -z handler's init callback returns nothing up to 4.4; on 4.6 it returns
// whether it accepted its argument, and tshark stops when it did not.
// Before 4.6 the host's own handlers end the process on a bad argument.
// This gives a handler that answers whether it accepted its argument the
// host's callback type.
using stat_tap_init_result = decltype(std::declval<stat_tap_init_cb>()(nullptr, nullptr));

template <bool (*accepts)(const char* argument, void* userdata),
          typename Result = stat_tap_init_result>
Result stat_tap_init(const char* argument, void* userdata) {
    if constexpr (std::is_void_v<Result>) {
        if (!accepts(argument, userdata)) {
            std::exit(1);
        }
    } else {
        return accepts(argument, userdata);
    }
}

// The current value of an unsigned preference, read from the preference
// itself: 4.6 gave the accessor of that shape the short name.
inline unsigned current_uint_preference(pref_t* pref) {
#if KESTRUNE_HOST_AT_LEAST(4, 6)
    return prefs_get_uint_value(pref, pref_current);
#else
    return prefs_get_uint_value_real(pref, pref_current);
#endif
}

// Conversation filters: 4.0 calls them with the packet alone and takes
// gboolean and gchar* answers; later releases also pass the user_data given
// at registration, and take bool and char*. Valid and Build are functions of
// the packet alone; the overload that matches the host's own
// register_conversation_filter is the one chosen.
template <bool (*Valid)(packet_info*), char* (*Build)(packet_info*)>
struct PacketConversationFilter {
    static gboolean valid_packet(packet_info* pinfo) { return Valid(pinfo); }
    static gchar* build_packet(packet_info* pinfo) { return Build(pinfo); }
    static bool valid_packet_data(packet_info* pinfo, void* /*user_data*/) { return Valid(pinfo); }
    static char* build_packet_data(packet_info* pinfo, void* /*user_data*/) { return Build(pinfo); }

    static void add(void (*host_register)(const char*, const char*, gboolean (*)(packet_info*),
                                          gchar* (*)(packet_info*)),
                    const char* proto_name, const char* display_name) {
        host_register(proto_name, display_name, valid_packet, build_packet);
    }
    static void add(void (*host_register)(const char*, const char*, bool (*)(packet_info*, void*),
                                          char* (*)(packet_info*, void*), void*),
                    const char* proto_name, const char* display_name) {
        host_register(proto_name, display_name, valid_packet_data, build_packet_data, nullptr);
    }
};

// Calls a registered conversation filter's callback the way the GUI does,
// with the packet (and a null user_data where the host passes one).
template <typename Answer>
Answer call_conversation_filter(Answer (*callback)(packet_info*), packet_info* pinfo) {
    return callback(pinfo);
}
template <typename Answer>
Answer call_conversation_filter(Answer (*callback)(packet_info*, void*), packet_info* pinfo) {
    return callback(pinfo, nullptr);
}

// The Telephony menu's group of statistics: 4.0 names it
// REGISTER_STAT_GROUP_TELEPHONY, 4.4 and 4.6 REGISTER_TELEPHONY_GROUP_UNSORTED.
#if KESTRUNE_HOST_AT_LEAST(4, 4)
constexpr register_stat_group_t kTelephonyStatGroup = REGISTER_TELEPHONY_GROUP_UNSORTED;
#else
constexpr register_stat_group_t kTelephonyStatGroup = REGISTER_STAT_GROUP_TELEPHONY;
#endif

}  // namespace kestrune
