# SPDX-License-Identifier: MIT
#
# Run by cpack once the files of a package are staged, before they are
# packed: every folder gets mode 755, whatever the umask of the one who
# builds the packages (under umask 077 the packages would otherwise
# install /usr/share/doc/quadflip, and claim /usr/bin, as 700).
file(GLOB_RECURSE staged LIST_DIRECTORIES true
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(path IN LISTS staged)
  if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
    file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
