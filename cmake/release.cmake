# SPDX-License-Identifier: MIT
#
# Makes every artefact of a release in one folder: the Debian package and
# the RPM of this build, the source tarball, and the Windows zip from a
# build of the windows preset.  Run by the artefacts target:
#
#   cmake -DSOURCE=... -DBUILD=... -DOUT=... -DCPACK=... -P release.cmake

find_program(MINGW x86_64-w64-mingw32-g++-posix)
if(NOT MINGW)
  message(FATAL_ERROR "The Windows zip needs the cross compiler: "
          "apt-get install g++-mingw-w64-x86-64-posix")
endif()

function(run)
  execute_process(COMMAND ${ARGN} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
run(${CPACK} --config ${BUILD}/CPackConfig.cmake -B ${OUT})
run(${CPACK} --config ${BUILD}/CPackSourceConfig.cmake -B ${OUT})
run(${CMAKE_COMMAND} --workflow --preset windows WORKING_DIRECTORY ${SOURCE})
run(${CPACK} --config ${SOURCE}/build/windows/CPackConfig.cmake -B ${OUT})
file(REMOVE_RECURSE ${OUT}/_CPack_Packages)

file(GLOB made RELATIVE ${OUT} ${OUT}/*)
list(JOIN made "\n  " made)
message(STATUS "Release artefacts in ${OUT}:\n  ${made}")
