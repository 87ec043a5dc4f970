# skyhelm-VERSION-win32.zip / -win64.zip: the exe, a README for Windows users, a sample
# SimConnect.cfg, the licence and the changelog, in a folder of the zip's name. The texts get
# Windows line ends, for the editors that still want them.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(SKYHELM_WINDOWS_FLAVOUR win32)
else()
  set(SKYHELM_WINDOWS_FLAVOUR win64)
endif()
if(NOT SKYHELM_SIMCONNECT_SDK)
  # The stand-in build reaches only a simulator that speaks SimConnect's network protocol; it is
  # not what a Windows user downloads.
  return()
endif()

set(_text_dir "${CMAKE_BINARY_DIR}/package-texts")
configure_file("${PROJECT_SOURCE_DIR}/packaging/windows/README-${SKYHELM_WINDOWS_FLAVOUR}.txt"
               "${_text_dir}/README.txt" @ONLY NEWLINE_STYLE CRLF)
# In a folder of its own: a SimConnect.cfg beside the exe sends the client library to the address
# it names, so the sample must not take effect until the user copies it there.
configure_file("${PROJECT_SOURCE_DIR}/packaging/SimConnect.cfg"
               "${_text_dir}/sample/SimConnect.cfg" @ONLY NEWLINE_STYLE CRLF)
configure_file("${PROJECT_SOURCE_DIR}/LICENSE" "${_text_dir}/LICENSE.txt" @ONLY NEWLINE_STYLE CRLF)
configure_file("${PROJECT_SOURCE_DIR}/CHANGELOG.md" "${_text_dir}/CHANGELOG.txt"
               @ONLY NEWLINE_STYLE CRLF)

install(TARGETS skyhelm RUNTIME DESTINATION .)
install(FILES "${_text_dir}/README.txt" "${_text_dir}/LICENSE.txt" "${_text_dir}/CHANGELOG.txt"
        DESTINATION .)
install(FILES "${_text_dir}/sample/SimConnect.cfg" DESTINATION sample)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME "skyhelm-${PROJECT_VERSION}-${SKYHELM_WINDOWS_FLAVOUR}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
