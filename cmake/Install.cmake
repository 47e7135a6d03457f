# Install and export rules: the phaser library with its header, a CMake
# package (find_package(zel_phaser) -> zel_phaser::zel_phaser) and a
# pkg-config file; the counting programs go to bin. The demonstration
# program is called `test`, which would shadow test(1) in a bin folder, so
# it goes to libexec instead.

include(CMakePackageConfigHelpers)

install(TARGETS zel_phaser
  EXPORT zel_phaserTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT zel_phaserTargets
  NAMESPACE zel_phaser::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zel_phaser)

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/zel_phaserConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/zel_phaserConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zel_phaser)
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/zel_phaserConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/zel_phaserConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/zel_phaserConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zel_phaser)

configure_file(${CMAKE_CURRENT_LIST_DIR}/zel_phaser.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/zel_phaser.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zel_phaser.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS zel_phaser_demo
  RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/parwork)

if(TARGET forktally AND TARGET duotally)
  install(TARGETS forktally duotally RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Manual pages: forktally(1), duotally(1), and zel_phaser(3) with one
# symbolic link per function name (tid_slot(3) among them).
install(DIRECTORY ${PROJECT_SOURCE_DIR}/man/man1 ${PROJECT_SOURCE_DIR}/man/man3
  DESTINATION ${CMAKE_INSTALL_MANDIR})
