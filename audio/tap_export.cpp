// SPDX-License-Identifier: GPL-2.0-or-later
#include "tap_export.h"

#include <epan/stat_tap_ui.h>
#include <epan/tap.h>
#include <epan/to_str.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

#include "codec/host_codec.h"
#include "dissector/host_compat.h"
#include "stream_decoder.h"

namespace kestrune::audio {
namespace {

constexpr const char* kRule =
    "===================================================================\n";

std::string folder_problem(const std::string& folder, const char* prefix) {
    struct stat st = {};
    if (folder.empty()) {
        return "no folder given; use -z " + std::string(prefix) + ",DIR";
    }
    if (stat(folder.c_str(), &st) != 0) {
        return "cannot use " + folder + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        return folder + " is not a folder";
    }
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        return "cannot write into " + folder + ": " + std::strerror(errno);
    }
    return {};
}

void reset_listener(void* tapdata) {
    static_cast<TapExport*>(tapdata)->reset();
}

tap_packet_status listen(void* tapdata, packet_info* pinfo, epan_dissect_t* /*edt*/,
                         const void* data, tap_flags /*flags*/) {
    static_cast<TapExport*>(tapdata)->packet(*pinfo, *static_cast<const TappedPacket*>(data));
    return TAP_PACKET_DONT_REDRAW;
}

void draw(void* tapdata) {
    // The listener stays registered: the host is walking its listeners.
    auto* e = static_cast<TapExport*>(tapdata);
    if (e->finishes_on_draw()) {
        (void)std::fputs(e->finish().c_str(), stdout);
        if (e->not_written() > 0) {
            // The host gives a tap no say in tshark's exit status.
            (void)std::fprintf(stderr, "tshark: -z %s: %u %s not written, see the summary\n",
                               e->cli_prefix(), e->not_written(), e->not_written_what());
        }
    }
}

struct CliExport {
    const char* prefix = nullptr;
    ExportMaker make = nullptr;
    stat_tap_ui ui{};
};

std::string folder_argument(const char* argument, const char* prefix) {
    const std::string arg = argument;
    const std::string start = std::string(prefix) + ",";
    return arg.compare(0, start.size(), start) == 0 ? arg.substr(start.size()) : std::string();
}

bool cli_init(const char* argument, void* userdata) {
    const auto* cli = static_cast<const CliExport*>(userdata);
    std::string error;
    if (!start_export(cli->make(folder_argument(argument, cli->prefix), true), error)) {
        (void)std::fprintf(stderr, "tshark: -z %s: %s\n", argument, error.c_str());
        return false;
    }
    return true;
}

// The host keeps pointers to the registrations: a deque does not move them.
std::deque<CliExport> cli_exports;

// The host calls this when the listener is removed. Files not finished by
// then are removed with their objects.
void free_listener(void* tapdata) {
    delete static_cast<TapExport*>(tapdata);
}

}  // namespace

std::string TapExport::finish() {
    std::string out = kRule + write_out() + kRule;
    reset();
    finished_ = true;
    return out;
}

bool start_export(TapExport* e, std::string& error) {
    error = folder_problem(e->folder(), e->cli_prefix());
    if (!error.empty()) {
        delete e;
        return false;
    }
    codec::load_host_codecs();
    GString* failed =
        register_tap_listener("simplekestrune", e, nullptr, TL_REQUIRES_NOTHING, reset_listener,
                              tap_callback<listen>, draw, free_listener);
    if (failed != nullptr) {
        error = failed->str;
        g_string_free(failed, TRUE);
        delete e;
        return false;
    }
    return true;
}

std::string finish_export(TapExport* e) {
    std::string summary = e->finish();
    remove_tap_listener(e);
    return summary;
}

void register_cli_export(const char* prefix, ExportMaker make) {
    CliExport& cli = cli_exports.emplace_back();
    cli.prefix = prefix;
    cli.make = make;
    cli.ui = {REGISTER_STAT_GROUP_GENERIC, nullptr, prefix, stat_tap_init<cli_init>, 0, nullptr};
    register_stat_tap_ui(&cli.ui, &cli);
}

std::string file_name_part(const address& a, std::uint32_t port) {
    char* text = address_to_str(nullptr, &a);
    std::string s = text != nullptr ? text : "";
    wmem_free(nullptr, text);
    for (char& c : s) {
        const bool keep =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.';
        if (!keep) {
            c = '.';
        }
    }
    return s + "_" + std::to_string(port);
}

std::string stream_file_stem(const StreamKey& k) {
    return file_name_part(k.src, k.src_port) + "-" + file_name_part(k.dst, k.dst_port) + "-s" +
           std::to_string(k.session_id);
}

std::string decoder_counts_text(const StreamDecoder& d) {
    const TimelineCounts& c = d.counts();
    char line[160];
    (void)std::snprintf(line, sizeof line,
                        "lost %lu, undecodable %lu, not voice %lu, duplicates %lu, too late %lu, "
                        "codec changes %lu",
                        c.lost, c.undecodable, c.not_voice, c.duplicates, c.too_late,
                        d.codec_changes());
    return line;
}

}  // namespace kestrune::audio
