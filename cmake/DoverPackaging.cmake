# Debian package of the tool set: cpack -G DEB (from the build directory).
#
# One package holds every deliverable except the lib/libcipherbox.so link (install
# component "cipherlink"): its maintainer scripts register both plug-in builds with
# update-alternatives under the name dover-libcipherbox, the build chosen with
# DOVER_CIPHER_DEFAULT getting the higher priority. Runtime dependencies come from
# the libraries the binaries link (dpkg-shlibdeps) plus the GOST engine, which
# OpenSSL loads at run time and so no binary names.

set(DOVER_ALT_NAME dover-libcipherbox)
set(DOVER_ALT_LINK ${CMAKE_INSTALL_PREFIX}/${DOVER_INSTALL_LIBDIR}/libcipherbox.so)
set(DOVER_ALT_AES ${CMAKE_INSTALL_PREFIX}/${DOVER_INSTALL_LIBDIR}/aes/libcipherbox.so)
set(DOVER_ALT_GOST ${CMAKE_INSTALL_PREFIX}/${DOVER_INSTALL_LIBDIR}/gost/libcipherbox.so)
if(DOVER_CIPHER_DEFAULT STREQUAL "gost")
  set(DOVER_ALT_PRIO_AES 10)
  set(DOVER_ALT_PRIO_GOST 20)
else()
  set(DOVER_ALT_PRIO_AES 20)
  set(DOVER_ALT_PRIO_GOST 10)
endif()
foreach(script postinst prerm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in
                 ${CMAKE_BINARY_DIR}/debian/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                  GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dover-security-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ZurezovEVA VO")
set(CPACK_PACKAGE_CONTACT "ZurezovEVA VO support <support@dover-or-04.ru>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "security and backup tools of the ZurezovEVA VO PostgreSQL distribution")
set(CPACK_PACKAGE_DESCRIPTION
  "Host-bound credential tools (credtab, pwseal, credwizard), key tools (keyforge,\nparamseal), the AES and GOST encryption plug-ins, the KMS connectors, the\nbackup coordinator snaprover, the protection initializer guardinit and the\npwforge Ansible module, installed under ${CMAKE_INSTALL_PREFIX}.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# libclilog lives in the package itself; the programs reach it through their run path.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libengine-gost-openssl")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_BINARY_DIR}/debian/postinst ${CMAKE_BINARY_DIR}/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PackageDirectories.cmake)
# Every component but the plug-in link, as one package.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified)
include(CPack)
