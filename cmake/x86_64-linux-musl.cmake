# SPDX-License-Identifier: MIT
# 64-bit x86 Linux with Zig's musl C library, linked statically: one
# program that runs on any Linux distribution, whatever its C library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(zig_target x86_64-linux-musl)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
