# skyhelm_VERSION_ARCH.deb: the bridge and the three tools, their manual pages, systemd units for
# the bridge and the relay (installed, not enabled), and the documentation Debian asks for.
include(GNUInstallDirs)
# Debian names the documentation folder after the package, not the project.
set(_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/skyhelm)
set(SKYHELM_PACKAGE_CONTACT "The Skyhelm developers <skyhelm@example.org>"
    CACHE STRING "Maintainer of the Debian package, \"Name <address>\"")

if(NOT SKYHELM_BUILD_TOOLS)
  return()  # the package carries the tools; a bridge-only build packages nothing
endif()

install(TARGETS skyhelm skyhelm-sim skyhelm-peer skyhelm-relay
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages: the tools' own --help and --version through help2man, so that the page cannot drift
# from the program; the bridge takes no options (its one argument is the port), so its page is
# written by hand. A cross build cannot run its tools and packages without the generated pages.
set(_doc_build "${CMAKE_BINARY_DIR}/package-docs")
set(_pages "${_doc_build}/skyhelm.1.gz")
add_custom_command(OUTPUT "${_doc_build}/skyhelm.1.gz"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${_doc_build}"
  COMMAND ${CMAKE_COMMAND} -E copy "${PROJECT_SOURCE_DIR}/packaging/deb/skyhelm.1" "${_doc_build}"
  COMMAND gzip -9nf "${_doc_build}/skyhelm.1"
  DEPENDS "${PROJECT_SOURCE_DIR}/packaging/deb/skyhelm.1" VERBATIM)
find_program(SKYHELM_HELP2MAN help2man)
if(SKYHELM_HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
  set(_name_skyhelm-sim "stand-in flight simulator speaking SimConnect's network protocol")
  set(_name_skyhelm-peer "command-line peer for the Skyhelm bridge")
  set(_name_skyhelm-relay "the Skyhelm bridge's one peer, serving many viewers and a browser panel")
  foreach(_tool IN ITEMS skyhelm-sim skyhelm-peer skyhelm-relay)
    add_custom_command(OUTPUT "${_doc_build}/${_tool}.1.gz"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${_doc_build}"
      COMMAND "${SKYHELM_HELP2MAN}" --no-info --section=1 --source=Skyhelm "--name=${_name_${_tool}}"
              --version-string=${PROJECT_VERSION} --output=${_doc_build}/${_tool}.1
              $<TARGET_FILE:${_tool}>
      COMMAND gzip -9nf "${_doc_build}/${_tool}.1"
      DEPENDS ${_tool} VERBATIM)
    list(APPEND _pages "${_doc_build}/${_tool}.1.gz")
  endforeach()
elseif(NOT CMAKE_CROSSCOMPILING)
  message(STATUS "help2man not found: the Debian package carries the bridge's manual page only")
endif()

# Debian wants the changelog in its own format (newest first, one entry per version); it is made
# from CHANGELOG.md, so that there is one history.
add_custom_command(OUTPUT "${_doc_build}/changelog.gz"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${_doc_build}"
  COMMAND python3 "${PROJECT_SOURCE_DIR}/packaging/deb/debian_changelog.py"
          "${PROJECT_SOURCE_DIR}/CHANGELOG.md" "${SKYHELM_PACKAGE_CONTACT}"
          "${_doc_build}/changelog"
  COMMAND gzip -9nf "${_doc_build}/changelog"
  DEPENDS "${PROJECT_SOURCE_DIR}/CHANGELOG.md"
          "${PROJECT_SOURCE_DIR}/packaging/deb/debian_changelog.py"
  VERBATIM)
add_custom_target(skyhelm_package_docs ALL DEPENDS ${_pages} "${_doc_build}/changelog.gz")

install(FILES ${_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES "${_doc_build}/changelog.gz" "${PROJECT_SOURCE_DIR}/packaging/deb/copyright"
        DESTINATION ${_docdir})
install(FILES "${PROJECT_SOURCE_DIR}/packaging/SimConnect.cfg"
        DESTINATION ${_docdir}/examples)
# Debian 12 keeps the units of packages in /lib/systemd/system.
install(FILES "${PROJECT_SOURCE_DIR}/packaging/deb/skyhelm.service"
              "${PROJECT_SOURCE_DIR}/packaging/deb/skyhelm-relay.service"
        DESTINATION /lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # skyhelm_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SKYHELM_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack puts the summary before it as the synopsis.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Skyhelm links a flight simulator's user aircraft to one remote peer over
UDP: the aircraft's telemetry goes out as one text line on every pass, and
one-letter commands come back as autopilot events. This package holds the
bridge for Linux (skyhelm), which reaches a simulator through SimConnect's
network protocol, the stand-in simulator skyhelm-sim, the peer tool
skyhelm-peer and the relay skyhelm-relay with its browser panel. Systemd
units for the bridge and the relay are installed but not enabled.")
