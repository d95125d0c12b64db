# SPDX-License-Identifier: MIT
# 64-bit Windows (g++-mingw-w64-x86-64-posix); the program runs under wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw_triple x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
