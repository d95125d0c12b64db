# SPDX-License-Identifier: MIT
# 32-bit Windows (g++-mingw-w64-i686-posix), built only.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(mingw_triple i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
