# SPDX-License-Identifier: MIT
# Cross builds with Zig's bundled clang and C libraries (Zig 0.11):
# included by a toolchain file that sets zig_target (zig's -target) and
# CMAKE_SYSTEM_NAME and CMAKE_SYSTEM_PROCESSOR.  zig is the one that the
# environment's ZIG names, or the one on PATH.
if(DEFINED ENV{ZIG} AND NOT "$ENV{ZIG}" STREQUAL "")
  set(zig "$ENV{ZIG}")
else()
  find_program(zig zig NO_CACHE)
  if(NOT zig)
    message(FATAL_ERROR "zig is not on PATH and ZIG is not set (see .ci/run)")
  endif()
endif()

# CMake runs each compiler and the archiver as one program: small scripts
# run zig's.  The compilers' drop -Wl,-v, which CMake's probe of a
# compiler passes and zig's linker refuses.  (C is for GoogleTest's build.)
set(zig_tools "${CMAKE_BINARY_DIR}/zig-tools")
foreach(tool cc c++)
  file(WRITE "${zig_tools}/${tool}"
       "#!/bin/sh\n"
       "for arg; do shift; [ \"$arg\" = -Wl,-v ] || set -- \"$@\" \"$arg\"; done\n"
       "exec \"${zig}\" ${tool} -target ${zig_target} \"$@\"\n")
endforeach()
foreach(tool ar ranlib)
  file(WRITE "${zig_tools}/${tool}" "#!/bin/sh\nexec \"${zig}\" ${tool} \"$@\"\n")
endforeach()
set(zig_tool_mode OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(CHMOD "${zig_tools}/cc" "${zig_tools}/c++" "${zig_tools}/ar"
     "${zig_tools}/ranlib" PERMISSIONS ${zig_tool_mode})
set(CMAKE_C_COMPILER "${zig_tools}/cc")
set(CMAKE_CXX_COMPILER "${zig_tools}/c++")
set(CMAKE_AR "${zig_tools}/ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${zig_tools}/ranlib" CACHE FILEPATH "" FORCE)
# CMake asks for Apple's install_name_tool, which only an install of a
# shared library would run; these builds have none and are not installed.
if(CMAKE_SYSTEM_NAME STREQUAL "Darwin")
  file(WRITE "${zig_tools}/install_name_tool"
       "#!/bin/sh\necho 'install_name_tool: not in zig' >&2\nexit 1\n")
  file(CHMOD "${zig_tools}/install_name_tool" PERMISSIONS ${zig_tool_mode})
  set(CMAKE_INSTALL_NAME_TOOL "${zig_tools}/install_name_tool" CACHE FILEPATH
      "" FORCE)
endif()

# Zig builds the C library and the C++ runtime for a target the first time
# a program of that optimisation mode is linked, and keeps them in its
# cache.  CMake's probes of the compilers link too: built with the release
# builds' mode, so that the runtime is built once per target.
set(CMAKE_C_FLAGS_INIT -O2)
set(CMAKE_CXX_FLAGS_INIT -O2)

# Nothing of the host's libraries or headers belongs in these programs:
# what the target has comes with zig.
get_filename_component(zig_dir "${zig}" DIRECTORY)
set(CMAKE_FIND_ROOT_PATH "${zig_dir}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
