# The project's own Debian package, kelpfall_<version>_<arch>.deb, made by
# CPack (scripts/package.sh runs it); its library dependencies are computed
# from the binary by dpkg-shlibdeps. packaging/stage.cmake finishes the
# staged tree.
set(KELPFALL_MAINTAINER "Seed f549e059 maintainers <maintainers@users.noreply.c-seed-f549e059.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelpfall)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write a raw disk image onto a whole block device")
# The summary is the first line of the Description field; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "kelpfall lists the whole disks found in sysfs and the udev database, asks
which one to write, and copies a disk image onto it byte for byte, flushing
the disk after every chunk. The chosen disk is erased without a second
question.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KELPFALL_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(CPACK_STRIP_FILES ON)
set(CPACK_STRIP "${CMAKE_STRIP}")
# What stage.cmake needs to know, which CPack hands it as CPACK_ variables.
set(CPACK_KELPFALL_SBINDIR "${CMAKE_INSTALL_SBINDIR}")
set(CPACK_KELPFALL_MANDIR "${CMAKE_INSTALL_MANDIR}")
set(CPACK_KELPFALL_DOCDIR "${CMAKE_INSTALL_DOCDIR}")
set(CPACK_KELPFALL_CHANGELOG "${PROJECT_SOURCE_DIR}/packaging/changelog")
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/stage.cmake)
include(CPack)
