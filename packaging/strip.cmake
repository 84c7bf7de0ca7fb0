# CPack pre-build script: removes from the staged binary the sections that
# CPACK_STRIP_FILES (strip without arguments) leaves, as Debian's own
# packaging does (strip --remove-section=.comment --remove-section=.note).
set(binary "${CPACK_TEMPORARY_DIRECTORY}/${CPACK_PACKAGING_INSTALL_PREFIX}/${CPACK_KELPFALL_SBINDIR}/kelpfall")
if(NOT EXISTS "${binary}")
  message(FATAL_ERROR "strip.cmake: no staged binary at ${binary}")
endif()
execute_process(COMMAND "${CPACK_STRIP}" --remove-section=.comment --remove-section=.note
                        "${binary}" COMMAND_ERROR_IS_FATAL ANY)
