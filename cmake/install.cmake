# What `cmake --install` puts under a prefix: the C header, libtavro.so, a CMake package
# (find_package(tavro) gives the target tavro::tavro) and a pkg-config file (tavro.pc).
# Both package files locate the prefix from their own position, so an installed tree can be
# moved or installed with `--prefix` into a directory chosen at install time.
include(CMakePackageConfigHelpers)

set(TAVRO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tavro)
set(TAVRO_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/include/tavro.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS tavro EXPORT tavroTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(EXPORT tavroTargets NAMESPACE tavro:: DESTINATION ${TAVRO_CMAKE_DIR})

set(TAVRO_CONFIG_IN ${CMAKE_CURRENT_BINARY_DIR}/tavroConfig.cmake.in)
file(WRITE ${TAVRO_CONFIG_IN} [=[
@PACKAGE_INIT@
# tavro's C interface: link tavro::tavro and include <tavro.h>.
include("${CMAKE_CURRENT_LIST_DIR}/tavroTargets.cmake")
check_required_components(tavro)
]=])
configure_package_config_file(${TAVRO_CONFIG_IN} ${CMAKE_CURRENT_BINARY_DIR}/tavroConfig.cmake
                              INSTALL_DESTINATION ${TAVRO_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tavroConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tavroConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/tavroConfigVersion.cmake
        DESTINATION ${TAVRO_CMAKE_DIR})

# pkg-config: the prefix is found from the .pc file's own directory.
file(RELATIVE_PATH TAVRO_PC_TO_PREFIX /prefix/${TAVRO_PKGCONFIG_DIR} /prefix)
string(REGEX REPLACE "/$" "" TAVRO_PC_TO_PREFIX "${TAVRO_PC_TO_PREFIX}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/tavro.pc
"prefix=\${pcfiledir}/${TAVRO_PC_TO_PREFIX}
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}

Name: tavro
Description: State-vector quantum circuit simulator, C interface
Version: ${PROJECT_VERSION}
Libs: -L\${libdir} -ltavro
Cflags: -I\${includedir}
")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tavro.pc DESTINATION ${TAVRO_PKGCONFIG_DIR})

# ---- Python package ----
# (reserved: the install() of the Python package tavro goes here)
