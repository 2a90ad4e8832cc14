// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace kestrune {

// Registers the "simplekestrune,intervals" table (tshark -z, and the GUI's
// Statistics menu): one row per stream and score interval.
void register_interval_table();

}  // namespace kestrune
