// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace kestrune {

// Registers the "simplekestrune,tree" statistics (tshark -z, and the GUI's
// Statistics menu) on the protocol's tap.
void register_session_stats();

}  // namespace kestrune
