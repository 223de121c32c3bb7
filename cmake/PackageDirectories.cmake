# Run by cpack after it has staged the package's files: every directory of the
# package gets mode 0755. cpack makes the staging directories, the prefix among
# them, with the packager's umask, and dpkg creates /usr/dover-or-04 with the
# mode the package carries; a package built under umask 077 left the whole tree
# unreadable to the database server and to every user but root.
cmake_policy(VERSION 3.25)
file(GLOB_RECURSE _dover_dirs LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(APPEND _dover_dirs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
foreach(d IN LISTS _dover_dirs)
  if(IS_DIRECTORY "${d}" AND NOT IS_SYMLINK "${d}")
    file(CHMOD "${d}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
