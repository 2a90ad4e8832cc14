// SPDX-License-Identifier: GPL-2.0-or-later
//
// A line of text in the module that records the protections the compiler
// actually applied, so that a built module can be checked with readelf.
// Each macro expands to its own name when the protection is off.
#define KESTRUNE_TEXT(x) #x
#define KESTRUNE_VALUE(x) KESTRUNE_TEXT(x)

[[gnu::used]] static const char kestrune_build_info[] =
    "simplekestrune-build: fortify=" KESTRUNE_VALUE(_FORTIFY_SOURCE) " optimize=" KESTRUNE_VALUE(
        __OPTIMIZE__) " ssp-strong=" KESTRUNE_VALUE(__SSP_STRONG__);
