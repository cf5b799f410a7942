# Shared part of the MinGW-w64 cross toolchains. The including file sets
# TORVEX_MINGW_PREFIX (i686-w64-mingw32 or x86_64-w64-mingw32) and
# CMAKE_SYSTEM_PROCESSOR. The posix thread-model compilers are used, so that
# std::thread and std::condition_variable exist; the C and C++ runtimes are
# linked statically (see CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER   ${TORVEX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TORVEX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${TORVEX_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TORVEX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
