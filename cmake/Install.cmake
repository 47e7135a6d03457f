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
# files' references to each other: an installed tree may be moved.

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

# pkg-config files whose prefix is found from their own place
# (${pcfiledir}), so they stay right wherever the tree is installed, staged
# or unpacked. zel_phaser.pc links the shared library; zel_phaser_static.pc
# names the archive itself, which -l cannot choose while the shared library
# lies beside it.
set(zel_phaser_pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}"
   OR IS_ABSOLUTE "${CMAKE_INSTALL_LIBEXECDIR}")
  message(FATAL_ERROR
    "CMAKE_INSTALL_LIBDIR, CMAKE_INSTALL_INCLUDEDIR and CMAKE_INSTALL_LIBEXECDIR must be relative to the prefix")
endif()
file(RELATIVE_PATH zel_phaser_pc_to_prefix /prefix/${zel_phaser_pcdir} /prefix)
string(REGEX REPLACE "/$" "" zel_phaser_pc_to_prefix "${zel_phaser_pc_to_prefix}")
foreach(pc zel_phaser zel_phaser_static)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc DESTINATION ${zel_phaser_pcdir} COMPONENT dev)
endforeach()

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
