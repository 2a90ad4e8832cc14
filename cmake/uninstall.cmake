# SPDX-License-Identifier: GPL-2.0-or-later
# Removes what the last `cmake --install` of this build folder put in place,
# as listed in its install_manifest.txt.
set(manifest "${CMAKE_CURRENT_BINARY_DIR}/install_manifest.txt")
if(NOT EXISTS "${manifest}")
  message(FATAL_ERROR "Nothing to uninstall: ${manifest} not found (run cmake --install first)")
endif()
file(STRINGS "${manifest}" installed)
foreach(file IN LISTS installed)
  set(path "$ENV{DESTDIR}${file}")
  if(EXISTS "${path}" OR IS_SYMLINK "${path}")
    message(STATUS "Removing ${path}")
    file(REMOVE "${path}")
  else()
    message(STATUS "Already gone: ${path}")
  endif()
endforeach()
