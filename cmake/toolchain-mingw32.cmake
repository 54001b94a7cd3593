# Cross-builds the Windows libraries and programs for 32-bit x86 with Debian's mingw-w64
# (mingw-common.cmake says how), for 32-bit point-of-sale applications, which load only
# 32-bit in-process servers. Built programs run under Wine when 32-bit Wine (wine32) is
# installed.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(THERMPOS_MINGW_TRIPLE i686-w64-mingw32)
# --kill-at: the __stdcall exports (the COM entry points) keep their plain names, which
# the module definition files give them, without the @N decoration.
set(THERMPOS_MINGW_DLL_FLAGS "-Wl,--kill-at")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
