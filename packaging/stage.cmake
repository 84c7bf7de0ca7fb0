# CPack pre-build script for the project's own .deb, run on the staged tree:
# removes from the binary the sections that CPACK_STRIP_FILES (strip without
# arguments) leaves, as Debian's own packaging does (strip
# --remove-section=.comment --remove-section=.note), and adds the Debian
# changelog, which only this package carries (an install has NEWS).
set(root "${CPACK_TEMPORARY_DIRECTORY}/${CPACK_PACKAGING_INSTALL_PREFIX}")
set(binary "${root}/${CPACK_KELPFALL_SBINDIR}/kelpfall")
if(NOT EXISTS "${binary}")
  message(FATAL_ERROR "stage.cmake: no staged binary at ${binary}")
endif()
execute_process(COMMAND "${CPACK_STRIP}" --remove-section=.comment --remove-section=.note
                        "${binary}" COMMAND_ERROR_IS_FATAL ANY)
file(COPY "${CPACK_KELPFALL_CHANGELOG}" DESTINATION "${root}/${CPACK_KELPFALL_DOCDIR}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
