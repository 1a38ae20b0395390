# The files through which other projects find and use the installed library, all in the
# "development" component: a pkg-config file and a CMake package. Plus the example udev
# rule, which goes with the tool.
include(CMakePackageConfigHelpers)

# pkg-config: every path relative to ${prefix}, so that a sysroot or a relocated staging
# tree works (PKG_CONFIG_SYSROOT_DIR); absolute install folders are kept as given.
foreach(kind LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
        set(KZR415_PC_${kind} "${CMAKE_INSTALL_${kind}}")
    elseif(kind STREQUAL "LIBDIR")
        set(KZR415_PC_${kind} "\${exec_prefix}/${CMAKE_INSTALL_${kind}}")
    else()
        set(KZR415_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
    endif()
endforeach()
configure_file(cmake/kzr-415-drv.pc.in kzr-415-drv.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kzr-415-drv.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# CMake package: find_package(kzr-415-drv) -> kzr415::drv. The package version is the
# project version; a request is met by any version of the same major number.
set(KZR415_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kzr-415-drv)
install(EXPORT kzr415-drv-targets NAMESPACE kzr415:: FILE kzr-415-drv-targets.cmake
        DESTINATION ${KZR415_CMAKE_DIR} COMPONENT development)
configure_package_config_file(cmake/kzr-415-drv-config.cmake.in kzr-415-drv-config.cmake
                              INSTALL_DESTINATION ${KZR415_CMAKE_DIR})
write_basic_package_version_file(kzr-415-drv-config-version.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kzr-415-drv-config.cmake
              ${PROJECT_BINARY_DIR}/kzr-415-drv-config-version.cmake
        DESTINATION ${KZR415_CMAKE_DIR} COMPONENT development)

# Example only, never active by itself: copied to /etc/udev/rules.d by whoever wants it.
install(FILES packaging/udev/60-kzr-415-i2c.rules
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kzr-415 COMPONENT tool)
