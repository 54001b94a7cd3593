# Cross-builds the Windows libraries and programs for 32-bit x86 with Debian's mingw-w64,
# for 32-bit point-of-sale applications, which load only 32-bit in-process servers.
#
# As the 64-bit toolchain (toolchain-mingw64.cmake): the posix thread model and the C and
# C++ runtimes linked statically. Built programs run under Wine when 32-bit Wine is
# installed (wine32); the loader then picks wine for them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(THERMPOS_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${THERMPOS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${THERMPOS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${THERMPOS_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${THERMPOS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# --kill-at: the __stdcall exports (the COM entry points) keep their plain names, which
# the module definition files give them, without the @N decoration.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--kill-at")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--kill-at")

find_program(THERMPOS_WINE wine)
if(THERMPOS_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${THERMPOS_WINE})
endif()
