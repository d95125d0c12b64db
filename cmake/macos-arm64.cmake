# SPDX-License-Identifier: MIT
# macOS on Apple silicon, with Zig's bundled SDK headers and libSystem
# stubs.  Its programs cannot run here: the build proves that the code
# compiles and links for the platform.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(zig_target aarch64-macos)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
