# Cross-builds the Windows libraries and programs for 32-bit x86 with Debian's mingw-w64
# (mingw-common.cmake says how), for 32-bit point-of-sale applications, which load only
# 32-bit in-process servers. The tests are built too; they run under Wine only where Wine
# can start 32-bit programs (Debian's wine32), which scripts/test-windows.sh finds out.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(THERMPOS_MINGW_TRIPLE i686-w64-mingw32)
# --kill-at: the __stdcall exports (the COM entry points) keep their plain names, which
# the module definition files give them, without the @N decoration. --enable-stdcall-fixup:
# that a plain name of a module definition file resolves to its decorated __stdcall symbol
# is what the files mean, not a slip to warn about.
set(THERMPOS_MINGW_DLL_FLAGS "-Wl,--kill-at -Wl,--enable-stdcall-fixup")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
