# Run by the install script twice, first before and then after every other
# install rule. The first run notes which directories of the tree (and which
# parents of the prefix) exist already; the second gives every one the install
# created mode 0755. CMake makes them with mkdir 0755, which the installer's
# umask narrows: under umask 077 lib/ became 0700, so the database server could
# not load a plug-in and no other user could run a program. Directories that
# existed before keep the mode their administrator gave them.
cmake_policy(VERSION 3.25)  # the install script itself sets no policies

set(_dover_top "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(_dover_dirs "")
list(APPEND _dover_dirs "${_dover_top}")
foreach(sub bin lib lib/aes lib/gost share share/man share/man/man1 share/man/man3
        share/man/man7 share/ansible share/ansible/plugins share/ansible/plugins/modules)
  list(APPEND _dover_dirs "${_dover_top}/${sub}")
endforeach()
set(_dover_parent "${_dover_top}")
while(TRUE)
  get_filename_component(_dover_next "${_dover_parent}" DIRECTORY)
  if(_dover_next STREQUAL _dover_parent OR _dover_next STREQUAL "")
    break()
  endif()
  set(_dover_parent "${_dover_next}")
  list(APPEND _dover_dirs "${_dover_parent}")
endwhile()

if(NOT DOVER_INSTALL_DIRS_NOTED)
  set(DOVER_INSTALL_DIRS_NOTED TRUE)
  set(DOVER_INSTALL_DIRS_BEFORE "")
  foreach(d IN LISTS _dover_dirs)
    if(IS_DIRECTORY "${d}")
      list(APPEND DOVER_INSTALL_DIRS_BEFORE "${d}")
    endif()
  endforeach()
else()
  foreach(d IN LISTS _dover_dirs)
    if(IS_DIRECTORY "${d}" AND NOT IS_SYMLINK "${d}" AND NOT d IN_LIST DOVER_INSTALL_DIRS_BEFORE)
      file(CHMOD "${d}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
           GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
  endforeach()
endif()
