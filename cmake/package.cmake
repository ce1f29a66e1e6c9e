# Packages made with CPack (make package, scripts/package.sh): from a Linux
# build two Debian packages, liboxrhttp1 (the runtime library) and
# liboxrhttp-dev (header, CMake package, pkg-config file, the API reference
# and its example); from a Windows build one zip, oxrhttp-VERSION-win32.zip or
# -win64.zip (DLL, import library, .def, header, API reference, README.txt).
# Included after cmake/install.cmake, whose components they are made of.
set(CPACK_PACKAGE_NAME oxrhttp)
set(CPACK_PACKAGE_VENDOR oxrhttp)
set(CPACK_PACKAGE_CONTACT "oxrhttp developers")
set(CPACK_STRIP_FILES ON)

if(WIN32)
    set(OXRHTTP_ARCH x86)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(OXRHTTP_ARCH x86_64)
    endif()
    configure_file(${CMAKE_CURRENT_LIST_DIR}/README-windows.txt.in
        ${CMAKE_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION . COMPONENT dev)
    set(CPACK_GENERATOR ZIP) # named ...-win32 or -win64 after the architecture
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_ALL runtime dev)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    # Each description's first line is its package's summary.
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME liboxrhttp1)
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
    # The runtime's Depends as dpkg-shlibdeps finds them (libc6, libssl3, ...).
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
    set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "compact HTTP/1.1 client library for network cameras
Sessions on http:// and https:// URLs, Basic and Digest authorization, and
streams delivered to a callback as raw bytes or one whole multipart part at
a time (MJPEG video, event streams), through seventeen OXR_HTTP_* functions.")
    set(CPACK_DEBIAN_DEV_PACKAGE_NAME liboxrhttp-dev)
    set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
    set(CPACK_COMPONENT_DEV_DEPENDS runtime) # liboxrhttp1 (= the same version)
    set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
    set(CPACK_COMPONENT_DEV_DESCRIPTION "compact HTTP/1.1 client library for network cameras (development files)
The header oxr_http.h, the CMake package (find_package(oxrhttp)), the
pkg-config file (oxrhttp), the API reference and its example program.")
endif()
include(CPack)
