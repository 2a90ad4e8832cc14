// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace kestrune {

// Registers the "simplekestrune,receivers" table (tshark -z, and the GUI's
// Statistics menu): one row per media stream, three receivers side by side
// with the sender's clock drift and the delay variation.
void register_receivers_table();

}  // namespace kestrune
