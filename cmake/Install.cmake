# Install rules, in three components that are also the Debian packages
# (debian/*.install):
#  - lib: the shared library libzel_phaser.so.<major> and its real file;
#  - dev: the header with its version header, the archive, the .so link, the
#    CMake package (find_package(zel_phaser) -> zel_phaser::zel_phaser, the
#    shared library, and zel_phaser::zel_phaser_static, the archive), the
#    pkg-config files zel_phaser.pc and zel_phaser_static.pc, and the
#    section 3 manual pages;
#  - programs: forktally and duotally in bin, the demonstration program in
#    libexec/parwork/test (in bin it would shadow test(1)), and the section 1
#    manual pages.
# Every installed path is relative to the prefix, and so are the package
# files' references to each other: an installed tree may be moved. Only the
# pkg-config files of a tree installed under /usr name their prefix (see
# below).

include(CMakePackageConfigHelpers)

install(TARGETS zel_phaser zel_phaser_static
  EXPORT zel_phaserTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

set(zel_phaser_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/zel_phaser)
install(EXPORT zel_phaserTargets
  NAMESPACE zel_phaser::
  DESTINATION ${zel_phaser_cmakedir}
  COMPONENT dev)

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/zel_phaserConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/zel_phaserConfig.cmake
  INSTALL_DESTINATION ${zel_phaser_cmakedir})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/zel_phaserConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/zel_phaserConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/zel_phaserConfigVersion.cmake
  DESTINATION ${zel_phaser_cmakedir}
  COMPONENT dev)

# pkg-config files. zel_phaser.pc links the shared library;
# zel_phaser_static.pc names the archive itself, which -l cannot choose while
# the shared library lies beside it. Installed under /usr, the system's own
# tree, they name that prefix, so that pkg-config leaves out the -I and -L of
# the system's directories as it does for every system library: a -L of
# /usr/lib ahead of the user's own -L would make the system's libraries win
# over the user's. Installed anywhere else, they find their prefix from their
# own place (${pcfiledir}), so they stay right wherever the tree is moved or
# unpacked. The install chooses by the prefix it installs to (that of
# `cmake --install --prefix`, if given); DESTDIR only stages.
set(zel_phaser_pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}"
   OR IS_ABSOLUTE "${CMAKE_INSTALL_LIBEXECDIR}")
  message(FATAL_ERROR
    "CMAKE_INSTALL_LIBDIR, CMAKE_INSTALL_INCLUDEDIR and CMAKE_INSTALL_LIBEXECDIR must be relative to the prefix")
endif()
file(RELATIVE_PATH zel_phaser_pc_to_prefix /prefix/${zel_phaser_pcdir} /prefix)
string(REGEX REPLACE "/$" "" zel_phaser_pc_to_prefix "${zel_phaser_pc_to_prefix}")
foreach(pc zel_phaser zel_phaser_static)
  set(zel_phaser_pc_prefix "\${pcfiledir}/${zel_phaser_pc_to_prefix}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pc-relocatable/${pc}.pc @ONLY)
  set(zel_phaser_pc_prefix /usr)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pc-system/${pc}.pc @ONLY)
endforeach()
install(CODE "
  set(kind relocatable)
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(kind system)
  endif()
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${zel_phaser_pcdir}\" TYPE FILE FILES
    \"${CMAKE_CURRENT_BINARY_DIR}/pc-\${kind}/zel_phaser.pc\"
    \"${CMAKE_CURRENT_BINARY_DIR}/pc-\${kind}/zel_phaser_static.pc\")"
  COMPONENT dev)

if(PARWORK_BUILD_PROGRAMS)
  install(TARGETS forktally duotally RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
  # The demonstration installs as a target, stripped by --strip like the
  # others, then takes its name `test`, which its build-tree file cannot
  # have (phaser/CMakeLists.txt); the install manifest follows.
  set(demo_dir ${CMAKE_INSTALL_LIBEXECDIR}/parwork)
  install(TARGETS zel_phaser_demo RUNTIME DESTINATION ${demo_dir} COMPONENT programs)
  install(CODE "
    set(demo \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${demo_dir}\")
    file(RENAME \"\${demo}/zel_phaser_demo\" \"\${demo}/test\")
    list(TRANSFORM CMAKE_INSTALL_MANIFEST_FILES REPLACE \"/zel_phaser_demo$\" \"/test\")"
    COMPONENT programs)
endif()

# zel_phaser(3) comes with one symbolic link per function name (tid_slot(3)
# among them); the links are installed as links.
if(PARWORK_INSTALL_MANPAGES)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/man/man3
    DESTINATION ${CMAKE_INSTALL_MANDIR} COMPONENT dev)
  if(PARWORK_BUILD_PROGRAMS)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/man/man1
      DESTINATION ${CMAKE_INSTALL_MANDIR} COMPONENT programs)
  endif()
endif()
