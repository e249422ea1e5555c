# What both cross builds of the Windows control share, for Debian's mingw-w64.
# The including toolchain file sets CMAKE_SYSTEM_PROCESSOR, KDR_MINGW_TRIPLE
# and KDR_WINE (the loader that runs the programs built here).
set(CMAKE_SYSTEM_NAME Windows)

# The POSIX-threads variant: GCC 12's library of the default (win32 threads)
# variant has no std::mutex or std::thread, which the store and the web
# view's server use. Its winpthreads is linked statically, as the rest.
set(CMAKE_C_COMPILER ${KDR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KDR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KDR_MINGW_TRIPLE}-windres)
set(KDR_WIDL ${KDR_MINGW_TRIPLE}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${KDR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KDR_WINE})
