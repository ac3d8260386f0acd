# What the tools need to run as services (units, user, configuration, man pages) and the Debian
# packages built by CPack from the two install components:
#   libkiv-dev  (dev)    static library, headers, CMake package, kiv.pc
#   kiv-tools   (tools)  kiv-agent, kiv-cloud, man pages, systemd units, sysusers file, /etc files
# `cpack -G DEB` in a build tree writes both; scripts/package makes a Release tree for them.

set(KIV_MAINTAINER "KIV maintainers <maintainers@users.noreply.c-seed-e5879e85.example>")
# Where kiv-tools keeps its guides and example files; the programs' --help and man pages name it.
set(KIV_DOC_DIR ${CMAKE_INSTALL_FULL_DATAROOTDIR}/doc/kiv-tools)

# Both packages carry the licence (machine-readable, with what is compiled in) and the changelog,
# made from CHANGELOG.md: a version without an entry there fails the build.
set(_kiv_changelog ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${_kiv_changelog}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${PROJECT_SOURCE_DIR}/CHANGELOG.md -DOUTPUT=${_kiv_changelog} -DSOURCE=kiv
          "-DMAINTAINER=${KIV_MAINTAINER}" -DVERSION=${PROJECT_VERSION}
          -P ${PROJECT_SOURCE_DIR}/cmake/KivDebianChangelog.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/cmake/KivDebianChangelog.cmake
  COMMENT "Debian changelog from CHANGELOG.md" VERBATIM)
add_custom_target(kiv_changelog ALL DEPENDS ${_kiv_changelog})
install(FILES ${_kiv_changelog} packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libkiv-dev
  COMPONENT dev)
# The same layout as the repository's, so the README's and the guide's links hold.
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libkiv-dev COMPONENT dev)
install(FILES docs/library-guide.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libkiv-dev/docs COMPONENT dev)
install(FILES examples/host_minimal.cpp examples/push_desktop.cpp
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libkiv-dev/examples COMPONENT dev)

if(KIV_BUILD_TOOLS)
  target_compile_definitions(kiv-agent PRIVATE KIV_DOC_DIR="${KIV_DOC_DIR}")
  target_compile_definitions(kiv-cloud PRIVATE KIV_DOC_DIR="${KIV_DOC_DIR}")
  install(FILES ${_kiv_changelog} packaging/debian/copyright README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kiv-tools
    COMPONENT tools)
  install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kiv-tools/docs COMPONENT tools
    FILES_MATCHING PATTERN "*.md")
  install(FILES examples/agent.toml examples/regions.json examples/campaigns.json examples/run.jsonl
    examples/scan.jsonl DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kiv-tools/examples COMPONENT tools)
  install(DIRECTORY examples/push DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kiv-tools/examples COMPONENT tools)

  # Man pages from the programs' --help and the hand-written sections in packaging/man, at build time.
  find_program(KIV_HELP2MAN help2man)
  if(KIV_HELP2MAN)
    set(_kiv_pages "")
    foreach(_tool IN ITEMS kiv-agent kiv-cloud)
      if(_tool STREQUAL "kiv-agent")
        set(_summary "command-line host program and gateway agent of the KIV beacon library")
      else()
        set(_summary "reference cloud service of the KIV beacon library")
      endif()
      set(_page ${PROJECT_BINARY_DIR}/man/${_tool}.1.gz)
      add_custom_command(OUTPUT ${_page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${KIV_HELP2MAN} -DPROGRAM=$<TARGET_FILE:${_tool}> -DNAME=${_tool}
                "-DSUMMARY=${_summary}" -DVERSION=${PROJECT_VERSION} -DOUTPUT=${_page}
                -DINCLUDE=${PROJECT_SOURCE_DIR}/packaging/man/${_tool}.h2m -DDOCDIR=${KIV_DOC_DIR}
                -P ${PROJECT_SOURCE_DIR}/cmake/KivManPage.cmake
        DEPENDS ${_tool} ${PROJECT_SOURCE_DIR}/cmake/KivManPage.cmake ${PROJECT_SOURCE_DIR}/packaging/man/${_tool}.h2m
        COMMENT "Man page ${_tool}.1 from its --help" VERBATIM)
      list(APPEND _kiv_pages ${_page})
    endforeach()
    add_custom_target(kiv_man_pages ALL DEPENDS ${_kiv_pages})
    install(FILES ${_kiv_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  else()
    message(STATUS "help2man not found: no man pages (scripts/setup installs it)")
  endif()

  # Units and the services' users go below the prefix (/usr/lib/... in the package).
  install(FILES packaging/systemd/kiv-agent.service packaging/systemd/kiv-cloud.service
    DESTINATION lib/systemd/system COMPONENT tools)
  install(FILES packaging/kiv-agent.sysusers DESTINATION lib/sysusers.d RENAME kiv-agent.conf COMPONENT tools)
  install(FILES packaging/kiv-cloud.sysusers DESTINATION lib/sysusers.d RENAME kiv-cloud.conf COMPONENT tools)

  # Configuration follows the GNU rule (a /usr install keeps it in /etc, any other prefix in
  # PREFIX/etc), decided when installing rather than when configuring: one build tree then both
  # installs under a scratch prefix and packages for /usr. Modes: the agent's file is readable by
  # its group (postinst gives it to kiv-agent), the cloud's root's alone (it may name secrets).
  string(CONFIGURE [[
    if(CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$")
      set(_kiv_etc "/etc")
    else()
      set(_kiv_etc "${CMAKE_INSTALL_PREFIX}/etc")
    endif()
    file(INSTALL "@PROJECT_SOURCE_DIR@/examples/agent.toml" DESTINATION "${_kiv_etc}/kiv"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
    file(INSTALL "@PROJECT_SOURCE_DIR@/examples/regions.json" DESTINATION "${_kiv_etc}/kiv"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(INSTALL "@PROJECT_SOURCE_DIR@/packaging/kiv-cloud.default" DESTINATION "${_kiv_etc}/default"
         RENAME kiv-cloud PERMISSIONS OWNER_READ OWNER_WRITE)
  ]] _kiv_etc_code @ONLY)
  install(CODE "${_kiv_etc_code}" COMPONENT tools)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kiv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "KIV")
set(CPACK_PACKAGE_CONTACT "${KIV_MAINTAINER}")
# Each package's description below starts with its own synopsis; CPack would put the project's
# summary in front of it unless the summary is CPack's default text.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL dev)
if(KIV_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
# Install with DESTDIR under prefix /usr, whatever prefix the tree was configured with, so the
# /etc files above land in /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkiv-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# What kivConfig.cmake and kiv.pc ask for when a program links the static library.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "libcurl4-openssl-dev | libcurl-dev, libsdbus-c++-dev (>= 1.2), libsystemd-dev, libmosquitto-dev, nlohmann-json3-dev (>= 3.10)")
set(CPACK_DEBIAN_DEV_DESCRIPTION "C++20 library for beacon sightings and rich push notifications
KIV turns nearby Bluetooth LE beacons (iBeacon and Eddystone) into sightings
uploaded to a cloud service, and serves rich push notifications. This package
holds the static library, its headers, the CMake package (find_package(kiv))
and the pkg-config file (pkg-config kiv).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kiv-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
find_program(KIV_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KIV_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)  # appended to the Depends below
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "adduser")
else()
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
      "libcurl4, libsdbus-c++1, libsystemd0, libmosquitto1, libsqlite3-0, libpq5, libmicrohttpd12, zlib1g, adduser")
endif()
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS bluez)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "KIV beacon gateway agent and reference cloud service
kiv-agent scans for Bluetooth LE beacons through bluetoothd and uploads the
sightings to a cloud service; kiv-cloud is a reference cloud service that
stores them in SQLite. Both come with systemd units (kiv-agent.service runs as
the user kiv-agent in the bluetooth group, kiv-cloud.service as kiv-cloud with
a client and an admin token made at installation) and man pages.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
