# CPack pre-build script: takes from the staged programs the sections that Debian's own tools
# (dh_strip) remove as well, the compiler's .comment and the .note section. CPACK_STRIP_FILES
# has already stripped the symbols.
file(GLOB_RECURSE kehrlund_programs LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*")
foreach(program IN LISTS kehrlund_programs)
    execute_process(COMMAND "${CPACK_STRIP}" --remove-section=.comment --remove-section=.note
                            "${program}"
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "Could not strip ${program}")
    endif()
endforeach()
