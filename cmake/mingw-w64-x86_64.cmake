# Cross build for 64-bit Windows with mingw-w64. The posix thread model compiler is the one with
# std::mutex and std::thread; everything is linked statically so that the executables need no
# DLL beyond the system's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FENWOLD_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FENWOLD_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FENWOLD_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${FENWOLD_MINGW_PREFIX}-windres)
set(CMAKE_MC_COMPILER ${FENWOLD_MINGW_PREFIX}-windmc)

set(CMAKE_FIND_ROOT_PATH /usr/${FENWOLD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
