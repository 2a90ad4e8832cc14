// SPDX-License-Identifier: GPL-2.0-or-later
#include "decimal_text.h"

#include <glib.h>

#include <algorithm>
#include <cmath>

namespace kestrune {

std::optional<double> DecimalText::parse(const char* text) {
    const char* current = text != nullptr ? text : "";
    if (parsed_ && text_ == current) {
        return value_;
    }
    std::string typed = current;
    std::replace(typed.begin(), typed.end(), ',', '.');
    char* end = nullptr;  // NOLINT(misc-const-correctness): g_ascii_strtod writes a gchar**
    const double v = g_ascii_strtod(typed.c_str(), &end);
    const bool whole = end != typed.c_str() && *end == '\0';
    text_ = current;
    value_ = whole && std::isfinite(v) ? std::optional<double>(v) : std::nullopt;
    parsed_ = true;
    return value_;
}

}  // namespace kestrune
