// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace kestrune {

// Declares the protocol, its fields, subtrees, named dissector and port
// preference to the host. Runs only once, however often it is called.
void register_simple_kestrune();

// The UDP port the user configured; the host writes it when preferences
// are read or applied.
extern unsigned int selvagrid_udp_port;

// Offers the heuristic dissector to UDP (off until the user enables it).
// Runs only once, however often it is called.
void register_udp_heuristic();

}  // namespace kestrune
