# Cross toolchain: 32-bit Windows (torvex.dll for 32-bit POS programs).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TORVEX_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
