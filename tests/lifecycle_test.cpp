// SPDX-License-Identifier: GPL-2.0-or-later
//
// Starts the host library in this process with the plugin registered, then
// drives the port preference the way the preferences dialog, a preferences
// file or `-o` would, and reads the "udp.port" table back; and opens and
// dissects one capture after another, as the GUI does on a reload or when
// another file is opened.
#include <gtest/gtest.h>

#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/packet.h>
#include <epan/prefs-int.h>
#include <epan/prefs.h>
#include <wiretap/wtap.h>
#include <wsutil/privileges.h>

#include "dissector/host_compat.h"

#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

extern "C" void plugin_register(void);

// The frames of the open capture file, as the host's packet provider.
struct packet_provider_data {
    std::deque<frame_data> frames;  // frame n at n - 1; they must not move
};

namespace {

int simple_kestrune_proto() {
    return proto_get_id_by_filter_name("simplekestrune");
}

bool is_ours(dissector_handle_t h) {
    return h != nullptr && dissector_handle_get_protocol_index(h) == simple_kestrune_proto();
}

// Every port in "udp.port" whose current handle is ours.
std::vector<unsigned> ports_bound_to_us() {
    std::vector<unsigned> ports;
    dissector_table_foreach(
        "udp.port",
        [](const gchar*, ftenum_t, gpointer key, gpointer value, gpointer out) {
            if (is_ours(dtbl_entry_get_handle(static_cast<dtbl_entry_t*>(value)))) {
                static_cast<std::vector<unsigned>*>(out)->push_back(GPOINTER_TO_UINT(key));
            }
        },
        &ports);
    return ports;
}

std::string handle_name_at(unsigned port) {
    dissector_handle_t h = dissector_get_uint_handle(find_dissector_table("udp.port"), port);
    return h ? kestrune::handle_protocol_short_name(h) : "(none)";
}

// Sets the port as `-o` would, then applies the preferences like the host.
void apply_port(unsigned port) {
    std::string arg = "simplekestrune.udp.selvagrid_port:" + std::to_string(port);
    std::vector<char> buf(arg.begin(), arg.end());
    buf.push_back('\0');
    char* errmsg = nullptr;
    ASSERT_EQ(prefs_set_pref(buf.data(), &errmsg), PREFS_SET_OK) << (errmsg ? errmsg : "");
    prefs_apply_all();
}

class HostEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        // Keep the user's own preferences and plugins out of the test.
        static char home[] = "/tmp/kestrune-lifecycle-XXXXXX";
        ASSERT_NE(mkdtemp(home), nullptr);
        setenv("HOME", home, 1);
        setenv("WIRESHARK_CONFIG_DIR", home, 1);
        // Registering twice must still register the protocol once.
        plugin_register();
        plugin_register();
        init_process_policies();
        wtap_init(FALSE);
        ASSERT_TRUE(epan_init(nullptr, nullptr, FALSE));
        epan_load_settings();
    }
};

const auto* const host = ::testing::AddGlobalTestEnvironment(new HostEnvironment);

TEST(Registration, OneProtocolWithNineHeaderFieldsAndThePortPreference) {
    const int proto = simple_kestrune_proto();
    ASSERT_NE(proto, -1);
    EXPECT_STREQ(proto_get_protocol_name(proto), "Quorvane Simple Kestrune");
    EXPECT_STREQ(proto_get_protocol_short_name(find_protocol_by_id(proto)), "SimpleKestrune");

    // The header's nine, then the stream analysis's generated fields.
    int header_fields = 0;
    void* cookie = nullptr;
    for (header_field_info* hf = proto_get_first_protocol_field(proto, &cookie); hf != nullptr;
         hf = proto_get_next_protocol_field(proto, &cookie)) {
        if (g_str_has_prefix(hf->abbrev, "kestrune.simple_packet")) {
            ++header_fields;
        }
    }
    EXPECT_EQ(header_fields, 9);

    pref_t* pref = prefs_find_preference(prefs_find_module("simplekestrune"), "udp.selvagrid_port");
    ASSERT_NE(pref, nullptr);
    EXPECT_STREQ(prefs_get_title(pref), "Simple Kestrune \"well-known\" Selvagrid UDP Port");
    EXPECT_EQ(prefs_get_uint_base(pref), 10u);
    EXPECT_EQ(kestrune::current_uint_preference(pref), 4096u);
    EXPECT_TRUE(is_ours(find_dissector("simplekestrune")));
}

TEST(PortBinding, DefaultPortIsTheOnlyOneBound) {
    EXPECT_EQ(ports_bound_to_us(), std::vector<unsigned>{4096});
}

TEST(PortBinding, FollowsThePreferenceAndKeepsExactlyOnePort) {
    for (unsigned port : {4096u, 5000u, 5000u, 6000u, 4096u, 4096u}) {
        apply_port(port);
        EXPECT_EQ(ports_bound_to_us(), std::vector<unsigned>{port}) << "after applying " << port;
    }
}

TEST(PortBinding, GivesADisplacedHostDissectorItsPortBack) {
    // TAPA owns UDP 5000 and WireGuard 0 in the host's own registrations.
    const std::string tapa = handle_name_at(5000);
    const std::string wireguard = handle_name_at(0);
    ASSERT_EQ(tapa, "TAPA");
    ASSERT_EQ(wireguard, "WireGuard");

    apply_port(5000);
    EXPECT_EQ(handle_name_at(5000), "SimpleKestrune");
    apply_port(5000);  // re-applying the same value keeps our binding
    EXPECT_EQ(handle_name_at(5000), "SimpleKestrune");
    apply_port(0);
    EXPECT_EQ(ports_bound_to_us(), std::vector<unsigned>{0});
    EXPECT_EQ(handle_name_at(5000), tapa);
    apply_port(4096);
    EXPECT_EQ(handle_name_at(0), wireguard);
    EXPECT_EQ(dissector_get_default_uint_handle("udp.port", 5000),
              dissector_get_uint_handle(find_dissector_table("udp.port"), 5000));
    EXPECT_EQ(ports_bound_to_us(), std::vector<unsigned>{4096});
}

TEST(PortBinding, RestoresADecodeAsChoiceOnTheDisplacedPort) {
    // The user had chosen, through Decode As, to read 6100 as TAPA; binding
    // there and moving away again must leave that choice in force.
    dissector_handle_t tapa = dissector_get_uint_handle(find_dissector_table("udp.port"), 5000);
    ASSERT_NE(tapa, nullptr);
    dissector_change_uint("udp.port", 6100, tapa);
    apply_port(6100);
    EXPECT_EQ(handle_name_at(6100), "SimpleKestrune");
    apply_port(4096);
    EXPECT_EQ(handle_name_at(6100), "TAPA");
    EXPECT_EQ(dissector_get_default_uint_handle("udp.port", 6100), nullptr);
    dissector_reset_uint("udp.port", 6100);
}

const nstime_t* frame_time(packet_provider_data* provider, guint32 number) {
    return number >= 1 && number <= provider->frames.size() ? &provider->frames[number - 1].abs_ts
                                                            : nullptr;
}

// Appends " field == value" for every item of the stream analysis below node.
void add_analysis_items(proto_node* node, gpointer data) {
    auto [edt, text] = *static_cast<std::pair<epan_dissect_t*, std::string*>*>(data);
    const field_info* fi = PNODE_FINFO(node);
    if (fi != nullptr && g_str_has_prefix(fi->hfinfo->abbrev, "kestrune.") &&
        !g_str_has_prefix(fi->hfinfo->abbrev, "kestrune.simple_packet")) {
        char* match = proto_construct_match_selected_string(const_cast<field_info*>(fi), edt);
        *text += std::string(" ") + (match != nullptr ? match : fi->hfinfo->abbrev);
        wmem_free(nullptr, match);
    }
    proto_tree_children_foreach(node, add_analysis_items, data);
}

// Opens the capture as a new file of the session and dissects every frame
// once, in order, with its tree: each frame's stream analysis as text.
std::vector<std::string> dissect_capture(const std::string& path) {
    int err = 0;
    gchar* err_info = nullptr;
    wtap* file = wtap_open_offline(path.c_str(), WTAP_TYPE_AUTO, &err, &err_info, FALSE);
    g_free(err_info);
    if (file == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return {};
    }
    packet_provider_data provider;
    packet_provider_funcs funcs{};
    funcs.get_frame_ts = frame_time;
    epan_t* session = epan_new(&provider, &funcs);
    epan_dissect_t* edt = epan_dissect_new(session, TRUE, TRUE);
    kestrune::CaptureRecord record;
    gint64 offset = 0;
    guint32 cumulative_bytes = 0;
    nstime_t elapsed = NSTIME_INIT_ZERO;
    const frame_data* reference = nullptr;
    const frame_data* previous = nullptr;
    std::vector<std::string> frames;
    while (record.read(file, &offset)) {
        frame_data& fd = provider.frames.emplace_back();
        frame_data_init(&fd, static_cast<guint32>(provider.frames.size()), record.record(), offset,
                        cumulative_bytes);
        frame_data_set_before_dissect(&fd, &elapsed, &reference, previous);
        record.dissect(edt, wtap_file_type_subtype(file), &fd);
        frame_data_set_after_dissect(&fd, &cumulative_bytes);
        previous = &fd;
        std::string text;
        std::pair<epan_dissect_t*, std::string*> walk{edt, &text};
        proto_tree_children_foreach(edt->tree, add_analysis_items, &walk);
        frames.push_back(text);
        epan_dissect_reset(edt);
    }
    epan_dissect_free(edt);
    epan_free(session);
    for (frame_data& fd : provider.frames) {
        frame_data_destroy(&fd);
    }
    wtap_close(file);
    return frames;
}

// Nothing of one file's streams may reach the next file's analysis, nor be
// used after the host has freed it with the file.
TEST(TwoCaptures, EachFileIsAnalysedAsIfItWereTheFirst) {
    const std::string call =
        std::string(std::getenv("KESTRUNE_BUILD_DIR")) + "/lifecycle-call.pcap";
    ASSERT_EQ(std::system((std::string(std::getenv("KESTRUNE_GENERATOR")) + " --output " + call +
                           " --calls 1 --two-way --count 400 --loss 5 --jitter 30 --seed 4")
                              .c_str()),
              0);
    const std::string sample = std::getenv("KESTRUNE_SAMPLE");
    const std::vector<std::string> first = dissect_capture(call);
    ASSERT_EQ(first.size(), 384u);
    EXPECT_NE(first[0].find(" kestrune.stream == 0"), std::string::npos) << first[0];
    std::string all;
    for (const std::string& f : first) all += f;
    for (const char* item : {"kestrune.stream == 1", "kestrune.analysis.lost == ",
                             "kestrune.analysis.out_of_order", "kestrune.analysis.jitter == "}) {
        EXPECT_NE(all.find(item), std::string::npos) << item;
    }
    const std::vector<std::string> other = dissect_capture(sample);
    ASSERT_FALSE(other.empty());
    EXPECT_NE(other[0].find(" kestrune.stream == 0"), std::string::npos) << other[0];
    // The first file again, as after opening it anew, then reloaded.
    EXPECT_EQ(dissect_capture(call), first);
    EXPECT_EQ(dissect_capture(call), first);
    EXPECT_EQ(dissect_capture(sample), other);
}

}  // namespace
