// SPDX-License-Identifier: GPL-2.0-or-later
// The stream analysis's expert information: the entries as registered, and
// how much of an entry anyone will see on this pass.
#pragma once

#include <epan/expert.h>
#include <epan/packet.h>

namespace kestrune {

// Registered by the plugin. The host keeps pointers into this array and
// writes a severity chosen in its "Severity Level Configuration" table
// back into it, so the array also tells each entry's severity as it is now.
extern ei_register_info analysis_expert_entries[];
extern const int analysis_expert_entry_count;

enum class ExpertUse {
    Skip,     // nobody will see it: nothing to add
    Summary,  // only its severity counts: the registered summary will do
    Text,     // its own text is kept: format it
};

// What an entry on this packet is worth making. The host keeps the text of
// an entry only for the expert tap's listeners (tshark -z expert, the GUI's
// Expert Information), in a tree that is shown, and in a hidden one whose
// expert items a filter, column or field names. Otherwise all that remains
// of an entry is the Expert column, if there is one, and the capture's
// highest severity (the GUI's status bar), which an entry no more severe
// than the highest so far leaves as it is.
ExpertUse expert_use(proto_tree* tree, const packet_info* pinfo, const expert_field& ei);

}  // namespace kestrune
