// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace kestrune {

// Registers the protocol's flow ("SimpleKestrune" in Statistics › Flow
// Graph, tshark -z flow,simplekestrune,network): an arrow at each stream's
// first packet, at each DTMF, fax or modem packet and after each gap.
void register_flow_graph();

}  // namespace kestrune
