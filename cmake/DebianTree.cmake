# Run by cpack on the staged tree before the package is made from it: what Debian asks of
# a package but a plain `cmake --install` should not do. The copyright and the changelog,
# compressed, go to /usr/share/doc/folimo, the manual pages are compressed, and the
# stripped programs and library lose the notes no one reads at run time.
find_program(GZIP gzip REQUIRED)
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")
set(readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

file(MAKE_DIRECTORY "${doc}")
file(COPY "${CPACK_FOLIMO_DEBIAN_SOURCES}/copyright" DESTINATION "${doc}"
     FILE_PERMISSIONS ${readable})

# -n leaves the name and time out of the header, so equal inputs give equal packages.
function(compress source target)
    execute_process(COMMAND "${GZIP}" -9 -n -c "${source}" OUTPUT_FILE "${target}"
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "gzip ${source} failed: ${status}")
    endif()
    file(CHMOD "${target}" FILE_PERMISSIONS ${readable})
endfunction()

compress("${CPACK_FOLIMO_DEBIAN_SOURCES}/changelog" "${doc}/changelog.gz")
file(GLOB_RECURSE pages LIST_DIRECTORIES false "${root}/share/man/*.[1-9]")
foreach(page IN LISTS pages)
    compress("${page}" "${page}.gz")
    file(REMOVE "${page}")
endforeach()

file(GLOB elves LIST_DIRECTORIES false "${root}/bin/*" "${root}/lib/*/folimo/*.so"
     "${root}/lib/folimo/*.so")
foreach(elf IN LISTS elves)
    set(extra "")
    if(elf MATCHES "\\.so$")
        set(extra --strip-unneeded)
    endif()
    execute_process(COMMAND "${CPACK_FOLIMO_STRIP}" --remove-section=.comment
                            --remove-section=.note ${extra} "${elf}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "strip ${elf} failed: ${status}")
    endif()
endforeach()
