# SPDX-License-Identifier: GPL-2.0-or-later
# A Debian package of the plugin for the host it was built against.
# Built by the `deb` target in a build folder of its own, configured for the
# system plugin folder.

# The Debian package that ships the libwireshark we link, and its version:
# plugins are tied to the exact host release.
execute_process(COMMAND pkg-config --variable=libdir wireshark
                OUTPUT_VARIABLE _libdir OUTPUT_STRIP_TRAILING_WHITESPACE)
# get_filename_component, not file(REAL_PATH): the latter needs CMake 3.19,
# and Debian 11 has 3.18.
get_filename_component(_libwireshark "${_libdir}/libwireshark.so" REALPATH)
execute_process(COMMAND dpkg-query -S "${_libwireshark}" OUTPUT_VARIABLE _owner
                RESULT_VARIABLE _found OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(_found EQUAL 0)
  string(REGEX REPLACE ":.*" "" _host_package "${_owner}")
  execute_process(COMMAND dpkg-query -W -f=\${Version} "${_host_package}"
                  OUTPUT_VARIABLE _host_version OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_host_package} (= ${_host_version})")
endif()
# The audio export writes its files with libsndfile (the same package name
# in Debian 11, 12, 13 and unstable).
if(SNDFILE_FOUND)
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libsndfile1")
endif()

# A suffix naming the Debian release the package was built in ("~deb11",
# "~deb12", "~deb13", or "~sid" for unstable and testing, which carry no release
# number), so that packages for several releases can sit in one folder.
# "~" sorts before anything, so a plain version would still be newer.
set(_release_suffix "")
if(EXISTS /etc/os-release)
  file(STRINGS /etc/os-release _version_id REGEX "^VERSION_ID=")
  file(STRINGS /etc/os-release _os_id REGEX "^ID=")
  if(_version_id MATCHES "\"?([0-9]+)\"?$")
    set(_release_suffix "~deb${CMAKE_MATCH_1}")
  elseif(_os_id MATCHES "debian")
    set(_release_suffix "~sid")
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wireshark-plugin-simplekestrune)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}${_release_suffix}")
set(CPACK_PACKAGE_CONTACT "Simple Kestrune plugin maintainers <maintainers@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Quorvane Simple Kestrune dissector for Wireshark and tshark")
set(CPACK_PACKAGE_DESCRIPTION
    "Decodes the 6-byte Simple Packet header over UDP (port 4096 by default)\n that carries voice, DTMF, fax and modem payloads of media sessions.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_ENHANCES "tshark, wireshark")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
