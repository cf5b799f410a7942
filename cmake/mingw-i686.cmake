# Cross toolchain: 32-bit Windows with MinGW-w64 (the posix thread model, so
# that std::thread and std::condition_variable exist; linked statically).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TORVEX_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${TORVEX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TORVEX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${TORVEX_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TORVEX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
