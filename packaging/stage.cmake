# CPack pre-build script for the project's own .deb, run on the staged tree
# (the install of a Release build), finishing it as Debian's own packaging
# does:
# - removes from the binary the sections that CPACK_STRIP_FILES (strip
#   without arguments) leaves (strip --remove-section=.comment
#   --remove-section=.note);
# - adds the Debian changelog, which only this package carries (an install
#   has NEWS); its newest entry must name the package's version;
# - compresses the manual and the changelog with gzip -9n, which stores no
#   name and no time, so that the package is the same from build to build.
set(root "${CPACK_TEMPORARY_DIRECTORY}/${CPACK_PACKAGING_INSTALL_PREFIX}")
set(binary "${root}/${CPACK_KELPFALL_SBINDIR}/kelpfall")
set(manual "${root}/${CPACK_KELPFALL_MANDIR}/man8/kelpfall.8")
set(docdir "${root}/${CPACK_KELPFALL_DOCDIR}")
foreach(staged IN ITEMS "${binary}" "${manual}" "${docdir}")
  if(NOT EXISTS "${staged}")
    message(FATAL_ERROR "stage.cmake: nothing staged at ${staged}")
  endif()
endforeach()
execute_process(COMMAND "${CPACK_STRIP}" --remove-section=.comment --remove-section=.note
                        "${binary}" COMMAND_ERROR_IS_FATAL ANY)

file(STRINGS "${CPACK_KELPFALL_CHANGELOG}" changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^kelpfall \\(${CPACK_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: the newest entry is not version "
                      "${CPACK_PACKAGE_VERSION}: ${changelog_top}")
endif()
file(COPY "${CPACK_KELPFALL_CHANGELOG}" DESTINATION "${docdir}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
execute_process(COMMAND gzip -9nf "${manual}" "${docdir}/changelog" COMMAND_ERROR_IS_FATAL ANY)
