# Cross-build for 32-bit Windows with Debian's MinGW-w64 (package
# g++-mingw-w64-i686). The "-posix" compiler has std::thread and std::mutex;
# everything is linked statically, so the programs need no extra DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CORVEL_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${CORVEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVEL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CORVEL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CORVEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Test programs run under Wine on the build machine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
