// SPDX-License-Identifier: GPL-2.0-or-later
//
// Starts the host library in this process with the plugin registered, then
// drives the port preference the way the preferences dialog, a preferences
// file or `-o` would, and reads the "udp.port" table back.
#include <gtest/gtest.h>

#include <epan/epan.h>
#include <epan/packet.h>
#include <epan/prefs-int.h>
#include <epan/prefs.h>
#include <wiretap/wtap.h>
#include <wsutil/privileges.h>

#include "dissector/host_compat.h"

#include <cstdlib>
#include <string>
#include <vector>

extern "C" void plugin_register(void);

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

}  // namespace
