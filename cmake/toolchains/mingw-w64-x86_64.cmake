# Cross toolchain for a 64-bit Windows build of the same sources (run under wine64 in CI).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(SKYHELM_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
