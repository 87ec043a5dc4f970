# Windows resources of skyhelm.exe: the application manifest (resource 1 of type RT_MANIFEST) and
# the version information. Built against the 32-bit SDK, the manifest names the side-by-side
# assembly through which Windows finds SimConnect.dll; the 64-bit SDK's DLL is no assembly, and
# Windows finds it beside the exe like any other DLL, so that manifest names none.
set(SKYHELM_FILE_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
string(REPLACE "." "," SKYHELM_RC_VERSION "${SKYHELM_FILE_VERSION}")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(SKYHELM_MANIFEST_ARCH x86)
else()
  set(SKYHELM_MANIFEST_ARCH amd64)
endif()

set(SKYHELM_MANIFEST_DEPENDENCIES "")
if(SKYHELM_SIMCONNECT_SDK AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The assembly's name ends in a space; it is part of the name. The assembly is a shared one,
  # installed with the simulator: Windows resolves a dependency without its public key token only as
  # a private assembly beside the exe, so the token is needed to find the installed one.
  string(CONCAT SKYHELM_MANIFEST_DEPENDENCIES
    "  <dependency>\n"
    "    <dependentAssembly>\n"
    "      <assemblyIdentity type=\"win32\" name=\"Microsoft.FlightSimulator.SimConnect \"\n"
    "                        version=\"10.0.60905.0\" processorArchitecture=\"x86\"\n"
    "                        publicKeyToken=\"67c7c14424d61b5b\"/>\n"
    "    </dependentAssembly>\n"
    "  </dependency>\n")
endif()

set(SKYHELM_MANIFEST_FILE "${CMAKE_CURRENT_BINARY_DIR}/skyhelm.manifest")
configure_file(${CMAKE_CURRENT_LIST_DIR}/skyhelm.manifest.in "${SKYHELM_MANIFEST_FILE}" @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/skyhelm.rc.in
               "${CMAKE_CURRENT_BINARY_DIR}/skyhelm.rc" @ONLY)
target_sources(skyhelm PRIVATE "${CMAKE_CURRENT_BINARY_DIR}/skyhelm.rc")
# The resource compiler reads the manifest at build time: rebuild the resource when it changes.
set_source_files_properties("${CMAKE_CURRENT_BINARY_DIR}/skyhelm.rc" PROPERTIES
                            OBJECT_DEPENDS "${SKYHELM_MANIFEST_FILE}")
