# What `cmake --install` puts where, in two components that become the Debian packages:
#   dev    the library, its headers, the CMake package and kiv.pc      (libkiv-dev)
#   tools  kiv-agent, kiv-cloud and what runs them as services        (kiv-tools, see tools/)
#   sim    kiv::sim, the fakes with virtual time, for hosts' own tests  (from source only)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS kiv EXPORT kivTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/kiv DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/include/kiv/export.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kiv COMPONENT dev)
install(EXPORT kivTargets NAMESPACE kiv:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kiv COMPONENT dev)
install(TARGETS kiv_sim EXPORT kivSimTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sim
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sim INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY sim/include/kiv DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT sim)
install(EXPORT kivSimTargets NAMESPACE kiv:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kiv COMPONENT sim)

configure_package_config_file(cmake/kivConfig.cmake.in ${PROJECT_BINARY_DIR}/kivConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kiv)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kivConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kivConfig.cmake ${PROJECT_BINARY_DIR}/kivConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kiv COMPONENT dev)

# kiv.pc finds its prefix from its own place (${pcfiledir}), so the installed tree works wherever
# it is installed or unpacked, with no --define-variable. Only an absolute libdir pins it.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KIV_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(KIV_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH _kiv_pc_up "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
  string(REGEX REPLACE "/$" "" _kiv_pc_up "${_kiv_pc_up}")
  set(KIV_PC_PREFIX "\${pcfiledir}/${_kiv_pc_up}")
  set(KIV_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(KIV_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(KIV_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
# A static libkiv.a names its dependencies at the consumer's link (pkg-config --static).
# sdbus-c++ and libsystemd come through Requires.private; libcurl is named as -lcurl: Debian's
# libcurl.pc lists, for its own static link, a dozen libraries (nghttp2, ssh2, ldap, ...) whose
# -dev packages nobody installs, and linking the shared libcurl needs none of them.
if(BUILD_SHARED_LIBS)
  set(KIV_PC_CFLAGS "")
else()
  set(KIV_PC_CFLAGS " -DKIV_STATIC_DEFINE")
endif()
configure_file(cmake/kiv.pc.in ${PROJECT_BINARY_DIR}/kiv.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kiv.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
