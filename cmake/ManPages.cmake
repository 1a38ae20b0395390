# kzr415_install_man_page(<page>.<section> COMPONENT <component>)
# Installs a roff man page, named from the current source folder, into
# ${CMAKE_INSTALL_MANDIR}/man<section>, compressed with gzip -9n as distributions expect
# (reproducibly: no name, no time stamp); uncompressed where there is no gzip.
find_program(KZR415_GZIP gzip)
mark_as_advanced(KZR415_GZIP)

function(kzr415_install_man_page page)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "COMPONENT" "")
    if(NOT page MATCHES "\\.([1-9])$")
        message(FATAL_ERROR "man page ${page}: the name must end in its section number")
    endif()
    set(destination ${CMAKE_INSTALL_MANDIR}/man${CMAKE_MATCH_1})
    set(source ${CMAKE_CURRENT_SOURCE_DIR}/${page})
    if(NOT KZR415_GZIP)
        install(FILES ${source} DESTINATION ${destination} COMPONENT ${arg_COMPONENT})
        return()
    endif()
    get_filename_component(name ${page} NAME)
    set(compressed ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
    add_custom_command(OUTPUT ${compressed}
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${CMAKE_CURRENT_BINARY_DIR}/${name}
        COMMAND ${KZR415_GZIP} -9 -n -f ${CMAKE_CURRENT_BINARY_DIR}/${name}
        DEPENDS ${source} COMMENT "Compressing man page ${page}" VERBATIM)
    add_custom_target(man-${name} ALL DEPENDS ${compressed})
    install(FILES ${compressed} DESTINATION ${destination} COMPONENT ${arg_COMPONENT})
endfunction()
