# SPDX-License-Identifier: MIT
#
# Packs the static Linux program of a build of the musl preset as
# OUT/quadflip-VERSION-linux-x86_64-static.tar.gz: one folder with the
# program, stripped, its manual page, the README and the licence.
#
#   cmake -DSOURCE=... -DBUILD=... -DMUSL=... -DOUT=... -DVERSION=...
#         -P static.cmake
#
# BUILD is a native build, whose pkg/ holds the manual page; MUSL the
# musl build.

find_program(OBJCOPY objcopy REQUIRED)
find_program(TAR tar REQUIRED)
set(static quadflip-${VERSION}-linux-x86_64-static)
set(stage ${OUT}/static/${static})
file(REMOVE_RECURSE ${OUT}/static)
file(MAKE_DIRECTORY ${stage})
execute_process(
  COMMAND ${OBJCOPY} --strip-all ${MUSL}/bin/quadflip ${stage}/quadflip
  COMMAND_ERROR_IS_FATAL ANY)
file(COPY ${BUILD}/pkg/quadflip.1 ${SOURCE}/README.md ${SOURCE}/LICENSE
     DESTINATION ${stage})
execute_process(
  COMMAND ${TAR} -czf ${OUT}/${static}.tar.gz -C ${OUT}/static ${static}
  COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE ${OUT}/static)
