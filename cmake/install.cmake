# Installation: the header, the shared library, a CMake package
# (find_package(oxrhttp) -> oxrhttp::oxrhttp) and a pkg-config file; on
# Windows the DLL, its import library and .def, the header and the API
# reference. Included at the end of the top-level CMakeLists.txt, after Http/
# has defined the oxrhttp target.
#
# Two components, one package each on Debian (cmake/package.cmake): runtime
# (the library a program loads) and dev (what building against it needs).
include(CMakePackageConfigHelpers)

set(OXRHTTP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/oxrhttp)

# install(TARGETS) reads a relative PUBLIC_HEADER path from this directory,
# not from Http/ where the target names it: make it absolute first.
get_target_property(OXRHTTP_PUBLIC_HEADERS oxrhttp PUBLIC_HEADER)
set(OXRHTTP_PUBLIC_HEADERS_ABS)
foreach(header ${OXRHTTP_PUBLIC_HEADERS})
    get_filename_component(header ${header} ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR}/Http)
    list(APPEND OXRHTTP_PUBLIC_HEADERS_ABS ${header})
endforeach()
set_target_properties(oxrhttp PROPERTIES PUBLIC_HEADER "${OXRHTTP_PUBLIC_HEADERS_ABS}")

install(TARGETS oxrhttp EXPORT oxrhttpTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

if(WIN32)
    # The .def beside the import library: other toolchains make their own from it.
    install(FILES ${OXRHTTP_DEF} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/api.md DESTINATION docs COMPONENT dev)
    return()
endif()

install(EXPORT oxrhttpTargets
    NAMESPACE oxrhttp::
    DESTINATION ${OXRHTTP_CMAKE_DIR}
    COMPONENT dev)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/oxrhttpConfig.cmake.in
    ${CMAKE_BINARY_DIR}/oxrhttpConfig.cmake
    INSTALL_DESTINATION ${OXRHTTP_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/oxrhttpConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/oxrhttpConfig.cmake
              ${CMAKE_BINARY_DIR}/oxrhttpConfigVersion.cmake
    DESTINATION ${OXRHTTP_CMAKE_DIR}
    COMPONENT dev)

# The .pc file finds its prefix from its own place (${pcfiledir}), so the
# installed tree may be moved, and `cmake --install --prefix` works too.
set(OXRHTTP_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH OXRHTTP_PC_TO_PREFIX /prefix/${OXRHTTP_PC_DIR} /prefix)
string(REGEX REPLACE "/$" "" OXRHTTP_PC_TO_PREFIX "${OXRHTTP_PC_TO_PREFIX}")
set(OXRHTTP_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
set(OXRHTTP_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/oxrhttp.pc.in ${CMAKE_BINARY_DIR}/oxrhttp.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/oxrhttp.pc DESTINATION ${OXRHTTP_PC_DIR} COMPONENT dev)

install(FILES ${PROJECT_SOURCE_DIR}/docs/api.md
              ${PROJECT_SOURCE_DIR}/docs/examples/mjpeg_receiver.c
    DESTINATION ${CMAKE_INSTALL_DOCDIR}
    COMPONENT dev)
