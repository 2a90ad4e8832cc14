// SPDX-License-Identifier: GPL-2.0-or-later
//
// The GUI's Tools › SimpleKestrune Audio Export…: the host's funnel API asks
// for the folder and what to export (each stream as a mono file, or each
// call as a stereo one), re-reads the open capture through the same export
// as the -z argument, and shows the summary in a text window. tshark has no
// funnel operations and never offers the menu.
#include <epan/funnel.h>
#include <glib.h>

#include <string>

#include "audio_export.h"
#include "call_audio_export.h"
#include "dissector/host_compat.h"

namespace kestrune::audio {
namespace {

constexpr const char* kTitle = "SimpleKestrune Audio Export";

std::string last_folder;
std::string last_choice = "streams";

void show(const funnel_ops_t* ops, const std::string& text) {
    funnel_text_window_t* window = new_funnel_window(ops->new_text_window, ops->ops_id, kTitle);
    ops->set_text(window, text.c_str());
}

// "streams" or "calls", in any case, and their first letters will do;
// nothing is streams (3.4's dialogs open with empty fields).
TapExport* new_export(const std::string& choice, const std::string& folder) {
    gchar* word = g_ascii_strdown(choice.c_str(), -1);
    g_strstrip(word);
    const std::string w = word;
    g_free(word);
    if (std::string("streams").compare(0, w.size(), w) == 0) {
        return new_stream_export(folder, false);
    }
    if (!w.empty() && std::string("calls").compare(0, w.size(), w) == 0) {
        return new_call_export(folder, false);
    }
    return nullptr;
}

void export_into(char** user_input, void* /*data*/) {
    const funnel_ops_t* ops = funnel_get_funnel_ops();
    const bool both = user_input != nullptr && user_input[0] != nullptr && user_input[1] != nullptr;
    last_folder = both ? user_input[0] : "";
    last_choice = both ? user_input[1] : "";
    g_strfreev(user_input);
    if (ops == nullptr) {
        return;
    }
    TapExport* e = new_export(last_choice, last_folder);
    if (e == nullptr) {
        show(ops,
             "Nothing exported: say \"streams\" (a mono file for each stream) or \"calls\" "
             "(a stereo file for each call), not \"" +
                 last_choice + "\".\n");
        return;
    }
    std::string error;
    if (!start_export(e, error)) {
        show(ops, "Nothing exported: " + error + "\n");
        return;
    }
    // Synchronous: every packet of the open capture goes through the tap.
    ops->retap_packets(ops->ops_id);
    show(ops, finish_export(e));
}

void ask_for_folder(void* /*data*/) {
    const funnel_ops_t* ops = funnel_get_funnel_ops();
    if (ops == nullptr || ops->new_dialog == nullptr) {
        return;
    }
    const char* names[] = {
        "Folder for the WAV files",
        "Export: streams (mono, one per stream; the default) or calls (stereo, one per call)",
        nullptr};
    const char* values[] = {last_folder.c_str(), last_choice.c_str(), nullptr};
    new_funnel_dialog(ops->new_dialog, ops->ops_id, kTitle, names, values, export_into, nullptr);
}

}  // namespace

void register_audio_menu() {
    funnel_register_menu("SimpleKestrune Audio Export…", REGISTER_TOOLS_GROUP_UNSORTED,
                         ask_for_folder, nullptr, nullptr, FALSE);
}

}  // namespace kestrune::audio
