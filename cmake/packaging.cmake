# SPDX-License-Identifier: MIT
#
# What a release holds beside the program, and the packages CPack makes of
# it: a Debian package and an RPM (cpack -G DEB, cpack -G RPM), a zip from
# a build of the windows preset (cpack -G ZIP) and a source tarball
# (cpack --config CPackSourceConfig.cmake).  The version comes from
# project() alone; the newest entry of CHANGELOG.md must be for it, and the
# manual page and the packages' changelogs are made from that entry.

# The lines of a file, blank ones included, as a list; semicolons are
# held as <semicolon> until written out.
function(read_lines file var)
  file(READ ${file} text)
  string(REPLACE ";" "<semicolon>" text "${text}")
  string(REGEX REPLACE "\n$" "" text "${text}")
  string(REPLACE "\n" ";" text "${text}")
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

function(write_text file text)
  string(REPLACE "<semicolon>" ";" text "${text}")
  file(WRITE ${file} "${text}")
endfunction()

# The newest entry of CHANGELOG.md: "## VERSION - YYYY-MM-DD", then its
# items, each "- text" with continuation lines indented by two spaces.
read_lines(${PROJECT_SOURCE_DIR}/CHANGELOG.md changelog_lines)
set(release_date "")
set(release_notes "")
foreach(line IN LISTS changelog_lines)
  if(line MATCHES "^## ([^ ]+) - ([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
    if(NOT release_date STREQUAL "")
      break()
    endif()
    if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
      message(FATAL_ERROR "CHANGELOG.md: the newest entry is for "
              "${CMAKE_MATCH_1}; add one for ${PROJECT_VERSION}")
    endif()
    set(release_date "${CMAKE_MATCH_2}-${CMAKE_MATCH_3}-${CMAKE_MATCH_4}")
    set(year ${CMAKE_MATCH_2})
    math(EXPR month "1${CMAKE_MATCH_3} - 100")
    math(EXPR day "1${CMAKE_MATCH_4} - 100")
  elseif(NOT release_date STREQUAL "" AND line MATCHES "^(- |  )")
    list(APPEND release_notes "${line}")
  endif()
endforeach()
if(release_date STREQUAL "")
  message(FATAL_ERROR "CHANGELOG.md: no entry of the form '## VERSION - YYYY-MM-DD'")
endif()

# The release's one date, for every timestamp of every artefact: its
# midnight UTC in seconds since 1970 (days from the civil date, as in
# Howard Hinnant's algorithm), exported as SOURCE_DATE_EPOCH to CPack and
# every tool it runs, unless a distribution's rebuild has set its own.
if(month LESS_EQUAL 2)
  math(EXPR ey "${year} - 1")
  math(EXPR em "${month} + 9")
else()
  set(ey ${year})
  math(EXPR em "${month} - 3")
endif()
math(EXPR era "${ey} / 400")
math(EXPR yoe "${ey} - ${era} * 400")
math(EXPR doy "(153 * ${em} + 2) / 5 + ${day} - 1")
math(EXPR doe "${yoe} * 365 + ${yoe} / 4 - ${yoe} / 100 + ${doy}")
math(EXPR release_epoch "(${era} * 146097 + ${doe} - 719468) * 86400")

# The day of the week of the release, for the changelogs (Zeller).
if(month LESS 3)
  math(EXPR zm "${month} + 12")
  math(EXPR zy "${year} - 1")
else()
  set(zm ${month})
  set(zy ${year})
endif()
set(daynames Sat Sun Mon Tue Wed Thu Fri)
math(EXPR weekday "(${day} + (13 * (${zm} + 1)) / 5 + ${zy} + ${zy} / 4 - ${zy} / 100 + ${zy} / 400) % 7")
list(GET daynames ${weekday} dayname)
set(monthnames Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
math(EXPR month_index "${month} - 1")
list(GET monthnames ${month_index} monthname)
if(day LESS 10)
  set(day2 "0${day}")
else()
  set(day2 "${day}")
endif()

set(package_contact "The quadflip authors <maintainers@quadflip.invalid>")
set(pkg ${PROJECT_BINARY_DIR}/pkg)
file(MAKE_DIRECTORY ${pkg})

# The Debian changelog and the RPM one.
set(deb_items "")
set(rpm_items "")
foreach(line IN LISTS release_notes)
  string(REGEX REPLACE "^  " "    " deb_line "${line}")
  string(REGEX REPLACE "^- " "  * " deb_line "${deb_line}")
  string(APPEND deb_items "${deb_line}\n")
  string(APPEND rpm_items "${line}\n")
endforeach()
write_text(${pkg}/changelog
  "quadflip (${PROJECT_VERSION}) unstable<semicolon> urgency=medium\n\n${deb_items}\n -- ${package_contact}  ${dayname}, ${day2} ${monthname} ${year} 00:00:00 +0000\n")
write_text(${pkg}/rpm-changelog
  "* ${dayname} ${monthname} ${day2} ${year} ${package_contact} - ${PROJECT_VERSION}-1\n${rpm_items}")

# The Debian copyright file (machine-readable format), around LICENSE.
read_lines(${PROJECT_SOURCE_DIR}/LICENSE license_lines)
set(license_body "")
foreach(line IN LISTS license_lines)
  if(line MATCHES "^(MIT License|Copyright)")
    continue()
  elseif(line STREQUAL "" AND license_body STREQUAL "")
    continue()
  elseif(line STREQUAL "")
    string(APPEND license_body " .\n")
  else()
    string(APPEND license_body " ${line}\n")
  endif()
endforeach()
write_text(${pkg}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: quadflip

Files: *
Copyright: ${year} The quadflip authors
License: Expat
${license_body}")

# The manual page with this version and date: compressed where a manual
# page goes, as plain text for Windows, where there is no man.
configure_file(${PROJECT_SOURCE_DIR}/sw/tools/conv/quadflip.1.in
               ${pkg}/quadflip.1 @ONLY)
find_program(GZIP gzip REQUIRED)
find_program(GROFF groff)
add_custom_command(OUTPUT ${pkg}/quadflip.1.gz ${pkg}/changelog.gz
  COMMAND ${GZIP} -9nkf ${pkg}/quadflip.1 ${pkg}/changelog
  DEPENDS ${pkg}/quadflip.1 ${pkg}/changelog
  COMMENT "Compressing the manual page and the changelog")
set(docs ${pkg}/quadflip.1.gz ${pkg}/changelog.gz)
if(WIN32)
  if(NOT GROFF)
    message(FATAL_ERROR "The Windows build renders the manual with groff: apt-get install groff")
  endif()
  # The page read after lines that select its Windows sections (the
  # register windows), set the text ragged right and unhyphenated, so that
  # words and commands come out whole, and give the division sign the ASCII
  # form "/", as the multiplication sign has "x".
  file(WRITE ${pkg}/windows.tr
       ".nr windows 1\n.nr HY 0\n.ds AD l\n.ad l\n.char \\[di] /\n")
  add_custom_command(OUTPUT ${pkg}/quadflip.txt
    COMMAND ${GROFF} -man -Tascii -P-cbou ${pkg}/windows.tr ${pkg}/quadflip.1
            > ${pkg}/quadflip.txt
    DEPENDS ${pkg}/quadflip.1 ${pkg}/windows.tr
    COMMENT "Rendering the manual page as text for Windows")
  set(docs ${pkg}/quadflip.txt)
endif()
add_custom_target(docs ALL DEPENDS ${docs})

if(WIN32)
  # A folder to unpack anywhere: the program, its licence, the README and
  # the manual.
  install(TARGETS quadflip RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
                ${pkg}/quadflip.txt DESTINATION .)
else()
  install(TARGETS quadflip RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${pkg}/quadflip.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${pkg}/copyright ${pkg}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME quadflip)
set(CPACK_PACKAGE_VENDOR "The quadflip authors")
set(CPACK_PACKAGE_CONTACT "${package_contact}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Reverse the byte order of every 32-bit word of a file")
set(CPACK_PACKAGE_DESCRIPTION
"quadflip converts files of 32-bit words between little-endian and
big-endian byte order: firmware images, memory dumps, instrument data.
It works in constant memory at the speed of copying the file, checks
every read and write, keeps the holes of sparse files, and converts a
file in place without ever leaving it half-written.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# Read by cpack for every package it makes, source tarball included.
configure_file(${PROJECT_SOURCE_DIR}/cmake/cpack_project.cmake.in
               ${pkg}/cpack_project.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${pkg}/cpack_project.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/cpack_staged.cmake)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quadflip-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR "DEB;RPM") # both install under /usr by default
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "Applications/File")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_CHANGELOG_FILE ${pkg}/rpm-changelog)
# The build time and host of the RPM's header are the release's, and no
# file in it is newer than the release.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${package_contact}
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define source_date_epoch_from_changelog 0
%define _buildhost reproducible")
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/share/man /usr/share/man/man1 /usr/share/doc)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME quadflip-${PROJECT_VERSION})
set(CPACK_SOURCE_IGNORE_FILES
    "/build/" "/\\\\.git/" "/\\\\.git$" "/\\\\.cache/" "~$" "\\\\.swp$"
    "/compile_commands\\\\.json$" "/__pycache__/")

include(CPack)

# Every artefact of a release in one folder: cmake --workflow --preset package.
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  add_custom_target(artefacts
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR}
            -DBUILD=${PROJECT_BINARY_DIR} -DOUT=${PROJECT_BINARY_DIR}/artefacts
            -DCPACK=${CMAKE_CPACK_COMMAND} -DVERSION=${PROJECT_VERSION}
            -P ${PROJECT_SOURCE_DIR}/cmake/release.cmake
    USES_TERMINAL)
  add_dependencies(artefacts quadflip docs)
endif()
