// SPDX-License-Identifier: GPL-2.0-or-later
// A decimal number typed into a string preference: the host's public API
// has no decimal preference in every release.
#pragma once

#include <optional>
#include <string>

namespace kestrune {

class DecimalText {
public:
    // The number the whole text spells (a decimal comma, as typed in many
    // locales, as well as a point), or nothing. Parsed again only when the
    // text changes: callers ask for it per packet.
    std::optional<double> parse(const char* text);

private:
    std::string text_;
    std::optional<double> value_;
    bool parsed_ = false;
};

}  // namespace kestrune
