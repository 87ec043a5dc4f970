# The real simulator client library from an SDK directory laid out as DIR/include/SimConnect.h
# and DIR/lib/SimConnect.lib: defines the imported target simconnect_sdk.
if(NOT WIN32)
  message(FATAL_ERROR "SKYHELM_SIMCONNECT_SDK is for the Windows product; the Linux build uses the "
                      "stand-in client library.")
endif()
# Two SDKs fit: the 2006-era simulator's, whose 32-bit SimConnect.dll Windows finds as a shared
# side-by-side assembly (windows-i686), and the 2020/2024 simulators', whose 64-bit SimConnect.dll
# is a plain DLL that goes beside the exe (windows-x64). Both lay out include/ and lib/ alike.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(SKYHELM_SIMCONNECT_SDK_KIND "32-bit, side-by-side assembly")
else()
  set(SKYHELM_SIMCONNECT_SDK_KIND "64-bit, SimConnect.dll beside the exe")
endif()

get_filename_component(_sdk_dir "${SKYHELM_SIMCONNECT_SDK}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
set(_sdk_header "${_sdk_dir}/include/SimConnect.h")
set(_sdk_implib "${_sdk_dir}/lib/SimConnect.lib")
foreach(_file IN ITEMS "${_sdk_header}" "${_sdk_implib}")
  if(NOT EXISTS "${_file}")
    message(FATAL_ERROR "SKYHELM_SIMCONNECT_SDK=${SKYHELM_SIMCONNECT_SDK}: ${_file} is missing.")
  endif()
endforeach()

# An import library: linking it makes the product import SimConnect.dll, which Windows finds
# through the side-by-side assembly that the 32-bit product's manifest names, or beside the exe.
add_library(simconnect_sdk UNKNOWN IMPORTED GLOBAL)
set_target_properties(simconnect_sdk PROPERTIES
  IMPORTED_LOCATION "${_sdk_implib}"
  INTERFACE_INCLUDE_DIRECTORIES "${_sdk_dir}/include"
  # The SDK's header would otherwise have MSVC embed its own manifest dependency on another version
  # of the assembly; the product's manifest (app/skyhelm.manifest.in) names the one it is built for.
  INTERFACE_COMPILE_DEFINITIONS SIMCONNECT_H_NOMANIFEST)
message(STATUS "SimConnect: real client library from ${_sdk_dir} (${SKYHELM_SIMCONNECT_SDK_KIND})")
