# SimConnect.dll made of the stand-in client library: a test double with the exports that the
# SDK's import library names, so that a product built against an SDK layout (the zips' exes) can
# run under Wine against skyhelm-sim. Never shipped: a real user's SimConnect.dll is the
# simulator's. Target simconnect_standin_dll, built on request only.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The 32-bit exports keep their @N in the module-definition file and lose it in the DLL
  # (--kill-at), as the real DLL exports them and as dlltool -k imports them.
  set(_def "${CMAKE_CURRENT_LIST_DIR}/SimConnect.def")
  set(_kill_at -Wl,--kill-at)
else()
  file(READ "${CMAKE_CURRENT_LIST_DIR}/SimConnect.def" _exports)
  string(REGEX REPLACE "@[0-9]+" "" _exports "${_exports}")
  set(_def "${CMAKE_BINARY_DIR}/SimConnect-x64.def")
  file(CONFIGURE OUTPUT "${_def}" CONTENT "${_exports}")
  set(_kill_at "")
endif()
add_library(simconnect_standin_dll SHARED EXCLUDE_FROM_ALL "${_def}")
set_target_properties(simconnect_standin_dll PROPERTIES OUTPUT_NAME SimConnect PREFIX ""
                      LINKER_LANGUAGE CXX)
target_link_libraries(simconnect_standin_dll PRIVATE
                      "$<LINK_LIBRARY:WHOLE_ARCHIVE,simconnect_standin>")
# Like the product, it must need no MinGW runtime DLL beside it.
target_link_options(simconnect_standin_dll PRIVATE -static -static-libgcc -static-libstdc++
                    ${_kill_at})
