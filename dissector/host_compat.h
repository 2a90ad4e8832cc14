// SPDX-License-Identifier: GPL-2.0-or-later
// The differences between the host releases the plugin builds against
// (3.4, 4.0, 4.4 and 4.6), in one place and keyed on the host's own version
// macros, so that no other file needs an #if.
#pragma once

// The host's version: newer releases install ws_version.h; 3.4 has no such
// header, only its config.h with VERSION_MAJOR and VERSION_MINOR (which 4.0
// no longer installs). config.h also gives the HAVE_PLUGINS that 3.4's
// headers need to declare the plugin registration.
#if __has_include(<ws_version.h>)
#include <ws_version.h>
#else
#include <config.h>
#define WIRESHARK_VERSION_MAJOR VERSION_MAJOR
#define WIRESHARK_VERSION_MINOR VERSION_MINOR
#endif

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
#include <epan/dissectors/packet-rtp.h>
#include <epan/epan.h>
#include <epan/funnel.h>
#include <epan/prefs-int.h>
#include <epan/prefs.h>
#include <epan/stat_tap_ui.h>
#include <epan/stats_tree.h>
#include <wiretap/wtap.h>
#include <wsutil/buffer.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

// The flow graph (Statistics › Flow Graph, tshark -z flow,NAME,...):
// libwireshark exports its functions in every release, but only 3.4's
// development files install epan/sequence_analysis.h; there its own types
// are used. For the later releases these are the parts of it the plugin
// uses. The host allocates and frees the items, so only the
// members up to the ones the plugin writes are declared; their layout is the
// same in every release but for the flags, gboolean on 4.0 and bool from 4.4
// on (checked against each release's libwireshark, which sets
// has_color_filter at byte 108 with a 4-byte or a 1-byte store).
#if __has_include(<epan/sequence_analysis.h>)
#include <epan/sequence_analysis.h>
namespace kestrune::host_flow {
using Item = seq_analysis_item_t;
using Info = seq_analysis_info_t;
}  // namespace kestrune::host_flow
#else
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
}  // namespace kestrune::host_flow

extern "C" {
void register_seq_analysis(const char* name, const char* ui_name, int proto_id,
                           const char* tap_listener, guint tap_flags, tap_packet_cb tap_func);
// A new item with the packet's addresses and time; nullptr when it has none.
kestrune::host_flow::Item* sequence_analysis_create_sai_with_addresses(
    packet_info* pinfo, kestrune::host_flow::Info* sainfo);
}
#endif

// The same offsets whether the host's header or the mirror above is used:
// 3.4's header thus checks the mirror's layout for the releases after it.
static_assert(offsetof(kestrune::host_flow::Item, frame_label) == 72 &&
              offsetof(kestrune::host_flow::Item, comment) == 88);
static_assert(offsetof(kestrune::host_flow::Item, has_color_filter) == 108);
static_assert(offsetof(kestrune::host_flow::Info, items) == 16);

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

// The host's list of conversation filters for packets: 3.4 calls it
// conv_filter_list; 4.0 renamed it beside a new list for logs.
inline GList* packet_conversation_filters() {
#if KESTRUNE_HOST_AT_LEAST(4, 0)
    return packet_conv_filter_list;
#else
    return conv_filter_list;
#endif
}

// The short name of a handle's protocol: 4.0 gave the call that name and
// deprecated the old one, the only one 3.4 has.
inline const char* handle_protocol_short_name(dissector_handle_t handle) {
#if KESTRUNE_HOST_AT_LEAST(4, 0)
    return dissector_handle_get_protocol_short_name(handle);
#else
    return dissector_handle_get_short_name(handle);
#endif
}

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

// A tap's packet callback: 3.4 calls it with the packet alone; later
// releases add the listener's flags (tap_flags_t). Callbacks are written
// once, with the flags, and given to the host through tap_callback<F>,
// which is F itself where the host passes flags and a forwarder passing
// none where it does not. Taken from the host's own callback types, for
// plain taps (tap_packet_cb) and statistics trees (stat_tree_packet_cb).
template <typename HostCallback>
struct tap_callback_of {
    using flags = guint;  // the host passes none
};
template <typename Result, typename Target, typename Flags>
struct tap_callback_of<Result (*)(Target, packet_info*, epan_dissect_t*, const void*, Flags)> {
    using flags = Flags;
};
using tap_flags = tap_callback_of<tap_packet_cb>::flags;

template <typename HostCallback, auto Callback>
struct tap_adaptor {
    static constexpr HostCallback callback = Callback;
};
template <typename Result, typename Target, auto Callback>
struct tap_adaptor<Result (*)(Target, packet_info*, epan_dissect_t*, const void*), Callback> {
    static Result forward(Target target, packet_info* pinfo, epan_dissect_t* edt,
                          const void* data) {
        return Callback(target, pinfo, edt, data, tap_flags{});
    }
    static constexpr Result (*callback)(Target, packet_info*, epan_dissect_t*,
                                        const void*) = forward;
};
template <auto Callback>
constexpr tap_packet_cb tap_callback = tap_adaptor<tap_packet_cb, Callback>::callback;
template <auto Callback>
constexpr stat_tree_packet_cb stats_tree_callback =
    tap_adaptor<stat_tree_packet_cb, Callback>::callback;

// A table statistic's table of a given name, when the GUI or tshark already
// made it. 4.0 offers stat_tap_find_table; before it, the same search of
// the table list the host keeps in the statistic.
inline stat_tap_table* find_stat_table(stat_tap_table_ui* ui, const char* name) {
#if KESTRUNE_HOST_AT_LEAST(4, 0)
    return stat_tap_find_table(ui, name);
#else
    for (guint i = 0; ui->tables != nullptr && i < ui->tables->len; ++i) {
        stat_tap_table* table = g_array_index(ui->tables, stat_tap_table*, i);
        if (std::strcmp(table->title, name) == 0) {
            return table;
        }
    }
    return nullptr;
#endif
}

// The Statistics menu's own group: 4.0 named it for packets, beside the
// new groups for logs (the value is the same).
#if KESTRUNE_HOST_AT_LEAST(4, 0)
constexpr register_stat_group_t kPacketStatGroup = REGISTER_PACKET_STAT_GROUP_UNSORTED;
#else
constexpr register_stat_group_t kPacketStatGroup = REGISTER_STAT_GROUP_UNSORTED;
#endif

// The GUI's dialogs and text windows for plugins (funnel): 3.4 opens them
// with their title alone and asks for fields without defaults; later
// releases pass the GUI's ops_id and take the fields' current values. The
// overload that matches the host's own member is the one chosen.
inline funnel_text_window_t* new_funnel_window(funnel_text_window_t* (*host_new)(const char*),
                                               funnel_ops_id_t* /*ops_id*/, const char* title) {
    return host_new(title);
}
inline funnel_text_window_t* new_funnel_window(funnel_text_window_t* (*host_new)(funnel_ops_id_t*,
                                                                                 const char*),
                                               funnel_ops_id_t* ops_id, const char* title) {
    return host_new(ops_id, title);
}
inline void new_funnel_dialog(void (*host_dialog)(const gchar*, const gchar**, funnel_dlg_cb_t,
                                                  void*, funnel_dlg_cb_data_free_t),
                              funnel_ops_id_t* /*ops_id*/, const char* title, const char** names,
                              const char** /*values*/, funnel_dlg_cb_t done, void* data) {
    host_dialog(title, names, done, data, nullptr);
}
template <typename HostDialog>
void new_funnel_dialog(HostDialog host_dialog, funnel_ops_id_t* ops_id, const char* title,
                       const char** names, const char** values, funnel_dlg_cb_t done, void* data) {
    host_dialog(ops_id, title, names, values, done, data, nullptr);
}

// The Telephony menu's group of statistics: 4.0 names it
// REGISTER_STAT_GROUP_TELEPHONY, 4.4 and 4.6 REGISTER_TELEPHONY_GROUP_UNSORTED.
#if KESTRUNE_HOST_AT_LEAST(4, 4)
constexpr register_stat_group_t kTelephonyStatGroup = REGISTER_TELEPHONY_GROUP_UNSORTED;
#else
constexpr register_stat_group_t kTelephonyStatGroup = REGISTER_STAT_GROUP_TELEPHONY;
#endif

// The host's "rtp" tap record (epan/dissectors/packet-rtp.h): 4.0 added
// the extended sequence number and timestamp, 4.4 the channel count. The
// record is zeroed first, so what a release has beyond the members named
// here stays unset, as the host's own RTP dissector leaves it.
inline void set_rtp_extended_numbers(_rtp_info* info, std::uint32_t sequence,
                                     std::uint64_t timestamp) {
#if KESTRUNE_HOST_AT_LEAST(4, 0)
    info->info_extended_seq_num = sequence;
    info->info_extended_timestamp = timestamp;
#else
    static_cast<void>(info);
    static_cast<void>(sequence);
    static_cast<void>(timestamp);
#endif
}
// The extended numbers a report carries, where the release has them.
inline bool rtp_extended_numbers(const _rtp_info* info, std::uint32_t* sequence,
                                 std::uint64_t* timestamp) {
#if KESTRUNE_HOST_AT_LEAST(4, 0)
    *sequence = info->info_extended_seq_num;
    *timestamp = info->info_extended_timestamp;
    return true;
#else
    static_cast<void>(info);
    static_cast<void>(sequence);
    static_cast<void>(timestamp);
    return false;
#endif
}
inline void set_rtp_channels(_rtp_info* info, unsigned channels) {
#if KESTRUNE_HOST_AT_LEAST(4, 4)
    info->info_payload_channels = channels;
#else
    static_cast<void>(info);
    static_cast<void>(channels);
#endif
}

// One record of a capture file after another, read and dissected as tshark
// does (the in-process tests read whole files): up to 4.4 the record's bytes
// go into a Buffer of the caller's and reach the dissection in a tvb over
// it; 4.6 keeps them in the record, and the dissection makes the tvb.
class CaptureRecord {
public:
    CaptureRecord() {
#if KESTRUNE_HOST_AT_LEAST(4, 6)
        wtap_rec_init(&rec_, kSnapshot);
#else
        wtap_rec_init(&rec_);
        ws_buffer_init(&bytes_, kSnapshot);
#endif
    }
    ~CaptureRecord() {
        wtap_rec_cleanup(&rec_);
#if !KESTRUNE_HOST_AT_LEAST(4, 6)
        ws_buffer_free(&bytes_);
#endif
    }
    CaptureRecord(const CaptureRecord&) = delete;
    CaptureRecord& operator=(const CaptureRecord&) = delete;

    // The next record; false at the end of the file or on an error.
    bool read(wtap* file, gint64* offset) {
        int err = 0;
        gchar* err_info = nullptr;
#if KESTRUNE_HOST_AT_LEAST(4, 6)
        const bool read = wtap_read(file, &rec_, &err, &err_info, offset);
#else
        const bool read = wtap_read(file, &rec_, &bytes_, &err, &err_info, offset);
#endif
        g_free(err_info);
        return read;
    }
    const wtap_rec* record() const;
    void dissect(epan_dissect_t* edt, int file_type_subtype, frame_data* fd) {
#if KESTRUNE_HOST_AT_LEAST(4, 6)
        epan_dissect_run(edt, file_type_subtype, &rec_, fd, nullptr);
#else
        const wtap_packet_header& h = rec_.rec_header.packet_header;
        epan_dissect_run(
            edt, file_type_subtype, &rec_,
            tvb_new_real_data(ws_buffer_start_ptr(&bytes_), h.caplen, static_cast<gint>(h.len)), fd,
            nullptr);
#endif
    }

private:
    static constexpr std::size_t kSnapshot = 1514;
    wtap_rec rec_{};
#if !KESTRUNE_HOST_AT_LEAST(4, 6)
    Buffer bytes_{};
#endif
};

// Defined outside the class: the clang-format of each release lays out
// a short member function alike only there.
inline const wtap_rec* CaptureRecord::record() const {
    return &rec_;
}

}  // namespace kestrune
