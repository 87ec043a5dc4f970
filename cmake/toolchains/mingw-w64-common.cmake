# Shared part of the MinGW-w64 cross toolchains; the including file sets SKYHELM_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread-model variant throughout: its libstdc++ has the full <thread>/<mutex> set, and
# with the static link below its winpthread part ends up inside the executable, not beside it.
set(CMAKE_C_COMPILER ${SKYHELM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SKYHELM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SKYHELM_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${SKYHELM_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${SKYHELM_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "ranlib")
set(SKYHELM_DLLTOOL ${SKYHELM_MINGW_TRIPLE}-dlltool CACHE FILEPATH "import-library generator")

set(CMAKE_FIND_ROOT_PATH /usr/${SKYHELM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The product must start on a bare Windows: the C and C++ runtimes (and winpthread) are linked
# in, so it imports nothing but the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
