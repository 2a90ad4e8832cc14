// SPDX-License-Identifier: GPL-2.0-or-later
//
// The GUI's Tools › SimpleKestrune Audio Export…: the host's funnel API asks
// for the folder, re-reads the open capture through the same export as the
// -z argument, and shows the summary in a text window. tshark has no funnel
// operations and never offers the menu.
#include <epan/funnel.h>
#include <glib.h>

#include <string>

#include "audio_export.h"

namespace kestrune::audio {
namespace {

constexpr const char* kTitle = "SimpleKestrune Audio Export";

std::string last_folder;

void show(const funnel_ops_t* ops, const std::string& text) {
    funnel_text_window_t* window = ops->new_text_window(ops->ops_id, kTitle);
    ops->set_text(window, text.c_str());
}

void export_into(char** user_input, void* /*data*/) {
    const funnel_ops_t* ops = funnel_get_funnel_ops();
    last_folder = user_input != nullptr && user_input[0] != nullptr ? user_input[0] : "";
    g_strfreev(user_input);
    if (ops == nullptr) {
        return;
    }
    std::string error;
    AudioExport* e = start_audio_export(last_folder, false, error);
    if (e == nullptr) {
        show(ops, "Nothing exported: " + error + "\n");
        return;
    }
    // Synchronous: every packet of the open capture goes through the tap.
    ops->retap_packets(ops->ops_id);
    show(ops, finish_audio_export(e));
}

void ask_for_folder(void* /*data*/) {
    const funnel_ops_t* ops = funnel_get_funnel_ops();
    if (ops == nullptr || ops->new_dialog == nullptr) {
        return;
    }
    const char* names[] = {"Folder for the WAV files", nullptr};
    const char* values[] = {last_folder.c_str(), nullptr};
    ops->new_dialog(ops->ops_id, kTitle, names, values, export_into, nullptr, nullptr);
}

}  // namespace

void register_audio_menu() {
    funnel_register_menu("SimpleKestrune Audio Export…", REGISTER_TOOLS_GROUP_UNSORTED,
                         ask_for_folder, nullptr, nullptr, FALSE);
}

}  // namespace kestrune::audio
