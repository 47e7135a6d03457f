# Debian packages, written by `cpack -G DEB` in a build folder:
#  - libzel-phaser0: the shared library (install component lib), with the
#    symbols file packaging/libzel-phaser0.symbols, the list of the library's
#    exported symbols and the version that brought each, a shlibs file, and
#    maintainer scripts that run ldconfig;
#  - libzel-phaser-dev: header, archive, .so link, CMake package, pkg-config
#    files and section 3 manual pages (component dev); depends on exactly the
#    same version of libzel-phaser0;
#  - parwork: the programs and their section 1 pages (component programs).
# Each package's Depends on system libraries comes from dpkg-shlibdeps
# (Debian package dpkg-dev), and each carries its copyright file, made from
# LICENSE, in /usr/share/doc/<package>. Files install under /usr.

set(parwork_deb_dir ${PROJECT_BINARY_DIR}/packaging)

# The copyright file in Debian's machine-readable format: the licence's
# paragraphs from LICENSE, indented, with "." for each empty line.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license_text)
string(FIND "${license_text}" "Permission is hereby granted" license_start)
string(SUBSTRING "${license_text}" ${license_start} -1 license_text)
string(STRIP "${license_text}" license_text)
string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REPLACE "\n" "\n " license_paragraph " ${license_text}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${parwork_deb_dir}/copyright @ONLY)

set(parwork_deb_components lib dev)
set(CPACK_DEBIAN_LIB_PACKAGE_NAME libzel-phaser0)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzel-phaser-dev)
if(PARWORK_BUILD_PROGRAMS)
  list(APPEND parwork_deb_components programs)
  set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME parwork)
endif()
# Only package builds install the copyright files (component installs run
# rules that are excluded from a plain install).
foreach(component IN LISTS parwork_deb_components)
  string(TOUPPER ${component} upper)
  install(FILES ${parwork_deb_dir}/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
    COMPONENT ${component}
    EXCLUDE_FROM_ALL)
endforeach()

# dpkg takes the control file by its name, `symbols`.
configure_file(${PROJECT_SOURCE_DIR}/packaging/libzel-phaser0.symbols ${parwork_deb_dir}/lib/symbols
  COPYONLY)

set(CPACK_PACKAGE_NAME parwork)
set(CPACK_PACKAGE_VENDOR "The parwork authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's summary is the first line of its own description.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${parwork_deb_components})

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The parwork authors <authors@parwork.invalid>")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEV_DEPENDS lib)

set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_DESCRIPTION "phaser for a fixed set of threads - shared library
zel_phaser lets a fixed set of threads advance through numbered phases:
a thread advances without waiting, or advances and waits until every other
participant has caught up. A process-wide registry gives each thread a small
slot number. This package holds the shared library.")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${parwork_deb_dir}/lib/symbols)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "phaser for a fixed set of threads - development files
zel_phaser lets a fixed set of threads advance through numbered phases:
a thread advances without waiting, or advances and waits until every other
participant has caught up. This package holds the header, the static
archive, the CMake package, the pkg-config files and the manual pages.")

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION "parallel counting programs and a phaser demonstration
forktally counts the 3s of a large pseudo-random array with N child
processes that report through pipes; duotally counts the same array with
two threads. The phaser demonstration test is in /usr/libexec/parwork.")

include(CPack)
