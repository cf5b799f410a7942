# Common compiler settings for every target of the project.
add_library(torvex_warnings INTERFACE)
# GCC's null-dereference analysis raises a false alarm inside Boost.Asio's
# scheduler once it is inlined into a program's code: a target built on Asio
# sets its property TORVEX_ASIO and goes without that one check. (An option
# of the target's own cannot undo it: these options come after the target's.)
target_compile_options(torvex_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wno-format-nonliteral -Wcast-align
  $<$<NOT:$<BOOL:$<TARGET_PROPERTY:TORVEX_ASIO>>>:-Wnull-dereference>)
if(WIN32)
  # The DLL and every Windows executable carry their C/C++ runtime inside:
  # they import only system DLLs.
  target_link_options(torvex_warnings INTERFACE -static -static-libgcc -static-libstdc++)
  # Windows Vista or later: the slim locks and condition variables of the
  # runtime's once-only calls (runtime/rtcrt_win32.h); the thread library
  # linked before them already needed Vista's GetTickCount64.
  target_compile_definitions(torvex_warnings INTERFACE
    WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0600 __USE_MINGW_ANSI_STDIO=1)
endif()
