# Cross build of the Windows control with Debian's mingw-w64 (i686).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KDR_MINGW_TRIPLE i686-w64-mingw32)
set(KDR_WINE /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
