# Install rules and CPack: the Windows zips (cpack in a Windows build) and the Debian package
# (cpack in the Linux build). Packages land in <build>/packages; scripts/stages/70-package.sh makes
# them all and the SHA256SUMS beside them.
set(CPACK_PACKAGE_NAME skyhelm)
set(CPACK_PACKAGE_VENDOR "The Skyhelm developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "console bridge between a flight simulator's SimConnect and one UDP peer")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_OUTPUT_FILE_PREFIX "${CMAKE_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")  # releases are made from the repository, not from source packages

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/PackagingWindows.cmake)
else()
  include(${CMAKE_CURRENT_LIST_DIR}/PackagingDebian.cmake)
endif()
include(CPack)
