/* SPDX-License-Identifier: GPL-2.0-or-later
 *
 * An ld.so audit module that audits nothing: given with LD_AUDIT beside the
 * sanitizer runtimes in LD_PRELOAD, it makes the loader bring AddressSanitizer
 * up before any library's constructor runs. Without it, glibc before 2.34
 * lets ASan start lazily at the first allocation it sees, which in Debian
 * 11's tshark is inside libp11-kit's constructor, in the middle of a libc
 * call holding the locale and gettext locks; those locks are left with a
 * reader count of -1 and the next bindtextdomain() waits forever (tshark -v
 * hangs before any plugin is loaded). With an audit module the loader's own
 * set-up reaches the preloaded runtime first, so ASan is up before the first
 * constructor runs and no libc lock is held when it starts. */
#define _GNU_SOURCE
#include <link.h>

unsigned int la_version(unsigned int version) {
    (void)version;
    return LAV_CURRENT;
}
