# Cross toolchain: 64-bit Windows (torvex.dll for 64-bit POS programs).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TORVEX_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
