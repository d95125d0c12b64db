# SPDX-License-Identifier: MIT
#
# Makes every artefact of a release in one folder: the Debian package and
# the RPM of this build, the source tarball, the Windows zip from a build
# of the windows preset, and the static Linux program from a build of the
# musl preset.  Run by the artefacts target:
#
#   cmake -DSOURCE=... -DBUILD=... -DOUT=... -DCPACK=... -DVERSION=...
#         -P release.cmake

find_program(MINGW x86_64-w64-mingw32-g++-posix)
if(NOT MINGW)
  message(FATAL_ERROR "The Windows zip needs the cross compiler: "
          "apt-get install g++-mingw-w64-x86-64-posix")
endif()

# Zig builds the static program: the one ZIG names, or where .ci/run
# installs it, for the zig toolchain files (zig.cmake).
if(NOT DEFINED ENV{ZIG})
  find_program(zig zig PATHS /opt/zig-0.11 NO_CACHE)
  if(NOT zig)
    message(FATAL_ERROR "The static Linux program needs Zig 0.11: see .ci/run, "
            "which installs it in /opt/zig-0.11 from the npm registry")
  endif()
  set(ENV{ZIG} ${zig})
endif()

function(run)
  execute_process(COMMAND ${ARGN} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

# CPack under umask 022, whatever the builder's: the modes of what it
# writes itself (the .deb's debian-binary, say) follow the umask.
set(cpack sh -c "umask 022 && exec \"$0\" \"$@\"" ${CPACK})

file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
run(${cpack} --config ${BUILD}/CPackConfig.cmake -B ${OUT})
run(${cpack} --config ${BUILD}/CPackSourceConfig.cmake -B ${OUT})
# The other builds of a release sit in this one's folder.
function(build preset)
  run(${CMAKE_COMMAND} -S ${SOURCE} --preset ${preset} -B ${BUILD}/${preset})
  run(${CMAKE_COMMAND} --build ${BUILD}/${preset})
endfunction()
build(windows)
run(${cpack} --config ${BUILD}/windows/CPackConfig.cmake -B ${OUT})
file(REMOVE_RECURSE ${OUT}/_CPack_Packages)

# The static program, for any Linux distribution, packed again below as
# the other tarballs are.
build(musl)
run(${CMAKE_COMMAND} -DSOURCE=${SOURCE} -DBUILD=${BUILD}
    -DMUSL=${BUILD}/musl -DOUT=${OUT} -DVERSION=${VERSION}
    -P ${SOURCE}/cmake/static.cmake)

# CPack dates every member by SOURCE_DATE_EPOCH, but the tarball and the
# zip keep the builder's user and group: both are packed again, members in
# name order, owned by root, dated by the release, without extra fields.
include(${BUILD}/pkg/cpack_project.cmake)
set(epoch $ENV{SOURCE_DATE_EPOCH})
find_program(TAR tar REQUIRED)
find_program(GZIP gzip REQUIRED)
find_program(ZIP zip REQUIRED)
find_program(UNZIP unzip REQUIRED)
find_program(TOUCH touch REQUIRED)
find_program(CHMOD chmod REQUIRED)
set(ENV{TZ} UTC) # zip stores local times
set(ENV{LC_ALL} C)
function(repack archive)
  set(tmp ${OUT}/repack)
  file(REMOVE_RECURSE ${tmp})
  file(MAKE_DIRECTORY ${tmp})
  get_filename_component(name ${archive} NAME)
  if(name MATCHES "\\.zip$")
    run(${UNZIP} -q ${archive} -d ${tmp})
  else()
    run(${TAR} -xzf ${archive} -C ${tmp})
  endif()
  # Modes as the archive had them, whatever the builder's umask.
  run(${CHMOD} -R u+rw,go=u-w ${tmp})
  file(GLOB_RECURSE members LIST_DIRECTORIES true RELATIVE ${tmp} ${tmp}/*)
  list(SORT members)
  foreach(member IN LISTS members)
    run(${TOUCH} -h -d @${epoch} ${tmp}/${member})
  endforeach()
  file(REMOVE ${archive})
  if(name MATCHES "\\.zip$")
    run(${ZIP} -X -9 -q -D ${archive} ${members} WORKING_DIRECTORY ${tmp})
  else()
    set(tops ${members})
    list(FILTER tops EXCLUDE REGEX "/")
    run(${TAR} --sort=name --format=gnu --owner=0 --group=0 --numeric-owner
            --mtime=@${epoch} -cf ${tmp}.tar -C ${tmp} ${tops})
    run(${GZIP} -9n ${tmp}.tar)
    file(RENAME ${tmp}.tar.gz ${archive})
  endif()
  file(REMOVE_RECURSE ${tmp})
  file(SHA256 ${archive} sum)
  file(WRITE ${archive}.sha256 "${sum}  ${name}\n")
endfunction()
file(GLOB archives ${OUT}/*.tar.gz ${OUT}/*.zip)
foreach(archive IN LISTS archives)
  repack(${archive})
endforeach()

file(GLOB made RELATIVE ${OUT} ${OUT}/*)
list(JOIN made "\n  " made)
message(STATUS "Release artefacts in ${OUT}:\n  ${made}")
