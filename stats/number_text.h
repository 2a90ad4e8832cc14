// SPDX-License-Identifier: GPL-2.0-or-later
// Number cells written as text: tshark ends a table row at its first empty
// cell, so a number that may be unknown is text, empty while unknown,
// right-aligned to a fixed width so that it also sorts by value in the GUI.
#pragma once

#include <cmath>
#include <cstdio>

namespace kestrune {

// The text of a number cell, formatted again only when the value shown
// changes.
class NumberText {
public:
    const char* show(double value, int decimals, int width) {
        const double scale = std::pow(10.0, decimals);
        const long long shown = std::llround(value * scale);
        if (!has_value_ || shown != shown_) {
            has_value_ = true;
            shown_ = shown;
            (void)std::snprintf(text_, sizeof text_, "%*.*f", width, decimals,
                                static_cast<double>(shown) / scale);
        }
        return text_;
    }
    const char* empty() {
        has_value_ = false;
        text_[0] = '\0';
        return text_;
    }

private:
    bool has_value_ = false;
    long long shown_ = 0;
    char text_[24] = "";
};

}  // namespace kestrune
