# Cross-compiling for Windows with Debian's MinGW-w64 (posix thread model).
# Select the architecture with -DNYRA_MINGW_ARCH=x86_64 or i686.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT NYRA_MINGW_ARCH)
  set(NYRA_MINGW_ARCH x86_64)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${NYRA_MINGW_ARCH})
set(_triple ${NYRA_MINGW_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER   ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER  ${_triple}-windres)
set(CMAKE_AR           /usr/bin/${_triple}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       /usr/bin/${_triple}-ranlib CACHE FILEPATH "")

# Only the MinGW sysroot is searched; the host's /usr/include must never leak in.
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The executables must run on a bare Windows: no MinGW runtime DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Windows-side tests run under Wine through this runner (CTest's emulator).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
