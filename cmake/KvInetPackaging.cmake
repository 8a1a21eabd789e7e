# Debian packages with CPack, one per install component, in the usual split:
#   libkvinetN     the shared library (N is the soname's version, the project's major version)
#   libkvinet-dev  headers, the unversioned link, the CMake package and kvinet.pc
#   kvinet         the command-line tool, its manual page and bash completion
# Dependencies on other packages come from dpkg-shlibdeps over the binaries; only the links between our own
# packages and the -dev package's build dependencies are written here.

set(KVINET_PACKAGE_MAINTAINER "KvInet developers <kvinet@example.org>" CACHE STRING
    "Maintainer field of the Debian packages")
set(KVINET_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages")

set(KVINET_LIB_PACKAGE libkvinet${PROJECT_VERSION_MAJOR})
set(KVINET_DEB_VERSION ${PROJECT_VERSION}-${KVINET_PACKAGE_RELEASE})

# Every Debian package carries its copyright file and changelog under /usr/share/doc/<package>.
string(TIMESTAMP KVINET_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(KVINET_PACKAGING_DIR ${CMAKE_BINARY_DIR}/packaging)
foreach(component lib dev tool)
    if(component STREQUAL "lib")
        set(package ${KVINET_LIB_PACKAGE})
    elseif(component STREQUAL "dev")
        set(package libkvinet-dev)
    else()
        set(package kvinet)
    endif()
    set(KVINET_CHANGELOG_PACKAGE ${package})
    configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${KVINET_PACKAGING_DIR}/${package}/changelog.Debian
        @ONLY)
    execute_process(COMMAND gzip -9nc ${KVINET_PACKAGING_DIR}/${package}/changelog.Debian
        OUTPUT_FILE ${KVINET_PACKAGING_DIR}/${package}/changelog.Debian.gz COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${KVINET_PACKAGING_DIR}/${package}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kvinet)
set(CPACK_PACKAGE_VENDOR "KvInet developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KVINET_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_COMPONENTS_ALL lib dev tool)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KVINET_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# kvinet links our own library, which is in no installed package yet: let dpkg-shlibdeps find it in the build
# tree; the dependency on its package comes from the component dependency below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${KVINET_LIB_PACKAGE})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# A shlibs file (only the library package has shared objects) and the loader cache trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_LIB_DESCRIPTION "non-visual Internet components on Qt 6 - shared library
KvInet is a C++ library of Internet components: whois, daytime and SNTP time,
DNS queries, an HTTP/1.0 client, SMTP mail with attachments, a web file
updater with a status window, and an XML parser. Each component is one object
with properties, events and a single Execute call.

This package contains the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkvinet-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "qt6-base-dev, libcurl4-openssl-dev | libcurl-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "non-visual Internet components on Qt 6 - development files
KvInet is a C++ library of Internet components: whois, daytime and SNTP time,
DNS queries, an HTTP/1.0 client, SMTP mail with attachments, a web file
updater with a status window, and an XML parser.

This package contains the headers, the CMake package (find_package(KvInet))
and the pkg-config file (kvinet.pc).")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME kvinet)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOL_DESCRIPTION "command-line tool for the KvInet Internet components
kvinet runs each KvInet component from the command line: whois lookups,
daytime and SNTP time, DNS queries over TCP, HTTP/1.0 requests, SMTP mail,
XML parsing and web file updates, with text utilities besides.")

include(CPack)
cpack_add_component(lib DISPLAY_NAME "Shared library")
cpack_add_component(dev DISPLAY_NAME "Development files" DEPENDS lib)
cpack_add_component(tool DISPLAY_NAME "Command-line tool" DEPENDS lib)

# The packages as a user gets them (tests/packaging/check_packages.sh): skipped when the packaging tools
# are missing; "./run package" turns this test on in a build without the other tests and requires the tools.
option(KVINET_PACKAGE_TEST "Register the Debian package test" ${KVINET_TESTS})
if(KVINET_PACKAGE_TEST AND NOT KVINET_SANITIZE AND NOT KVINET_FUZZ)
    enable_testing()
    add_test(NAME packaging/debian
             COMMAND ${PROJECT_SOURCE_DIR}/tests/packaging/check_packages.sh ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR})
    set_tests_properties(packaging/debian PROPERTIES TIMEOUT 600 LABELS packaging SKIP_RETURN_CODE 77)
endif()
