# Checks the link map of a module that is loaded and unloaded many times
# (see TorvexModuleRuntime.cmake). Run after the link, and by the image
# tests:  cmake -DMAP=<file.map> -DMODULE=<name> -P CheckModuleRuntime.cmake
file(READ ${MAP} map)
set(problems "")
# The thread library's records of threads (pthread_once, keys, pthread_self,
# std::thread): a thread that calls into them gets a slot of the process
# that the unload never gives back.
if(map MATCHES "pthread\\.a\\(libwinpthread_la-thread\\.o\\)")
  string(APPEND problems "\n  the thread library's thread records (libwinpthread thread.o) are linked:"
    " something in the module uses std::thread, std::condition_variable, std::call_once,"
    " pthread keys, pthread_self or a thread_local object with a destructor; use the Win32"
    " primitives or the class library's classes, and thread_local only for plain data")
endif()
# The C++ runtime's own thread-local storage: a slot and a semaphore per load.
if(map MATCHES "libgcc_eh\\.a\\(emutls\\.o\\)")
  string(APPEND problems "\n  the runtime's thread-local storage (libgcc_eh emutls.o) is linked:"
    " the module must link runtime/rtcrt_win32.cpp as an object (torvex_module_runtime)")
endif()
if(map MATCHES "libstdc\\+\\+\\.a\\(guard\\.o\\)")
  string(APPEND problems "\n  the runtime's static-initialisation guards (libstdc++ guard.o) are linked:"
    " link with torvex_module_runtime(), which routes them to the module's own")
endif()
if(NOT map MATCHES "__wrap_pthread_once")
  string(APPEND problems "\n  the module's own once-only call (__wrap_pthread_once) is missing:"
    " link with torvex_module_runtime()")
endif()
if(problems)
  message(FATAL_ERROR "${MODULE}: would keep part of the process after every unload:${problems}\n"
    "(link map: ${MAP})")
endif()
