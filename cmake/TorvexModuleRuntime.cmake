# Windows modules that programs load and unload many times (torvex.dll, and
# the test module that checks that nothing is left behind): they carry the
# class library's own once-only call and thread-local storage
# (runtime/rtcrt_win32.h) in place of the MinGW-w64 runtime's, which would
# keep a thread-local slot of the process (and a handle) after every unload.
#
#   torvex_module_runtime(TARGET)
#
# links the unit into TARGET as an object (so it is chosen before the C++
# runtime's archives are searched), routes the runtime's pthread_once to it,
# writes the link map beside the module and checks it after every link: the
# build fails if the thread library's thread records or the runtime's own
# thread-local storage got linked in after all.
if(NOT WIN32)
  return()
endif()

add_library(torvex_crt OBJECT ${PROJECT_SOURCE_DIR}/runtime/rtcrt_win32.cpp)
target_include_directories(torvex_crt PRIVATE ${PROJECT_SOURCE_DIR}/runtime)
target_link_libraries(torvex_crt PRIVATE torvex_warnings)

function(torvex_module_runtime target)
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:torvex_crt>)
  add_dependencies(${target} torvex_crt)
  target_link_options(${target} PRIVATE -Wl,--wrap=pthread_once -Wl,--wrap=__cxa_guard_acquire
    -Wl,--wrap=__cxa_guard_release -Wl,--wrap=__cxa_guard_abort -Wl,-Map=${map})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DMAP=${map} -DMODULE=$<TARGET_FILE_NAME:${target}>
            -P ${PROJECT_SOURCE_DIR}/cmake/CheckModuleRuntime.cmake
    VERBATIM)
  set_property(TARGET ${target} PROPERTY TORVEX_LINK_MAP ${map})
endfunction()
