// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace kestrune {

// Registers the "simplekestrune,streams" table (tshark -z, and the GUI's
// Statistics menu): one row per media stream, on the protocol's tap.
void register_stream_table();

}  // namespace kestrune
