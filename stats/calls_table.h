// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace kestrune {

// Registers the "simplekestrune,calls" table (tshark -z, and the GUI's
// Telephony menu): one row per call, both directions of a session between
// two endpoints side by side.
void register_calls_table();

}  // namespace kestrune
