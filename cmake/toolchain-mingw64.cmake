# Cross-builds the Windows libraries and programs (x86-64) with Debian's mingw-w64.
#
# The posix thread model: the win32 model of GCC 12 has no std::thread or std::mutex. The
# C and C++ runtimes are linked statically, so the DLLs and programs need nothing beside
# them but the system's own libraries. Built programs run under Wine (tests, discovery).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(THERMPOS_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${THERMPOS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${THERMPOS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${THERMPOS_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${THERMPOS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(THERMPOS_WINE wine)
if(THERMPOS_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${THERMPOS_WINE})
endif()
