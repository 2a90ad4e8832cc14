// SPDX-License-Identifier: GPL-2.0-or-later
// Filling the cells of the host's statistics tables (epan/stat_tap_ui.h).
#pragma once

#include <epan/packet.h>  // stat_tap_ui.h needs glib first on 4.0
#include <epan/stat_tap_ui.h>

namespace kestrune {

inline void set_uint(stat_tap_table_item_type& cell, unsigned v) {
    cell.type = TABLE_ITEM_UINT;
    cell.value.uint_value = v;
}
inline void set_float(stat_tap_table_item_type& cell, double v) {
    cell.type = TABLE_ITEM_FLOAT;
    cell.value.float_value = v;
}
// The table does not copy the text: it must outlive the cell.
inline void set_string(stat_tap_table_item_type& cell, const char* v) {
    cell.type = TABLE_ITEM_STRING;
    cell.value.string_value = v;
}

}  // namespace kestrune
