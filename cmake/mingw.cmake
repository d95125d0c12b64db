# SPDX-License-Identifier: MIT
# Windows with Debian's MinGW-w64 cross compilers in the POSIX thread model
# (g++-mingw-w64-*-posix), which std::thread needs: included by a toolchain
# file that sets mingw_triple and CMAKE_SYSTEM_PROCESSOR.  Linked
# statically, so that the program needs no DLL beside it.  (C is for
# GoogleTest's build.)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triple})
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
