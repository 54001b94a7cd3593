# Cross-builds the Windows libraries and programs (x86-64) with Debian's mingw-w64
# (mingw-common.cmake says how).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(THERMPOS_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
