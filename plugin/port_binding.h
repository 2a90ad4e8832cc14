// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace kestrune {

// Binds the dissector to the configured port in the host's "udp.port"
// table, moving it off the previous port. Called at hand-off and every time
// the protocol's preferences are applied.
void bind_selvagrid_port();

}  // namespace kestrune
