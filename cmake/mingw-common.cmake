# What the two Windows toolchains share (toolchain-mingw64.cmake, toolchain-mingw32.cmake):
# Debian's mingw-w64 for THERMPOS_MINGW_TRIPLE with the posix thread model (the win32 model
# of GCC 12 has no std::thread or std::mutex), the C and C++ runtimes linked statically so
# the DLLs and programs need nothing beside them but the system's own libraries, and Wine
# to run what was built (tests, discovery). THERMPOS_MINGW_DLL_FLAGS is added to the DLLs'
# link flags.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${THERMPOS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${THERMPOS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${THERMPOS_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${THERMPOS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(thermpos_static_runtime "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${thermpos_static_runtime}")
string(STRIP "${thermpos_static_runtime} ${THERMPOS_MINGW_DLL_FLAGS}" thermpos_dll_flags)
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${thermpos_dll_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${thermpos_dll_flags}")

find_program(THERMPOS_WINE wine)
if(THERMPOS_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${THERMPOS_WINE})
endif()
