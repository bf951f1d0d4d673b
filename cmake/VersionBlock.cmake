# The version block of a program file: texts the program and its windows read back from
# the file (ReadVersionInfo in app/VersionInfo.h), kept in a section of their own,
# ".folimo_version", so that they are found without running the program.
#
# The block is a run of NUL-terminated UTF-8 texts: the format tag "FolimoVersion/1",
# then name and value in turns, ended by an empty name. A value is named as on the
# desktop the block comes from: "\VarFileInfo\Translation" holds the language and code
# page, "\StringFileInfo\<that>\<Name>" each text.
#
#   folimo_add_version_block(<target> [<Name> <value>]...)
#
# FileVersion and ProductVersion default to the project's version as "1, 2, 0, 3".
function(folimo_add_version_block target)
    set(names Comments CompanyName FileDescription FileVersion InternalName LegalCopyright
              LegalTrademarks OriginalFilename ProductName ProductVersion PrivateBuild
              SpecialBuild)
    foreach(field MAJOR MINOR PATCH TWEAK)
        set(${field} "${PROJECT_VERSION_${field}}")
        if(${field} STREQUAL "")
            set(${field} 0)
        endif()
    endforeach()
    set(value_FileVersion "${MAJOR}, ${MINOR}, ${PATCH}, ${TWEAK}")
    set(value_ProductVersion "${value_FileVersion}")
    set(args ${ARGN})
    while(args)
        list(POP_FRONT args name value)
        if(NOT name IN_LIST names)
            message(FATAL_ERROR "folimo_add_version_block: unknown text ${name}")
        endif()
        set(value_${name} "${value}")
    endwhile()

    # Simplified Chinese, Unicode: what the texts of this program are written in.
    set(translation 080404B0)
    set(block "\"FolimoVersion/1\" \"\\0\"\n")
    string(APPEND block "    \"\\\\VarFileInfo\\\\Translation\" \"\\0\" \"${translation}\" \"\\0\"\n")
    foreach(name ${names})
        set(value "${value_${name}}")
        string(REPLACE "\\" "\\\\" value "${value}")
        string(REPLACE "\"" "\\\"" value "${value}")
        string(REPLACE "\n" "\\n" value "${value}")
        string(APPEND block
               "    \"\\\\StringFileInfo\\\\${translation}\\\\${name}\" \"\\0\" \"${value}\" \"\\0\"\n")
    endforeach()

    set(source ${CMAKE_CURRENT_BINARY_DIR}/${target}_version_block.cpp)
    file(GENERATE OUTPUT ${source} CONTENT
"// Made by cmake/VersionBlock.cmake for ${target}; the literal's own NUL ends the block.
[[gnu::used, gnu::section(\".folimo_version\")]] extern const char folimoVersionBlock[] =
    ${block};
")
    target_sources(${target} PRIVATE ${source})
endfunction()
