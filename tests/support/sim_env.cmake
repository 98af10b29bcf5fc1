# Sets QV_SIM_ENV to the environment under which tests that use the udev fixture run (umockdev's
# preload library), QV_SIM_PROPS to the test properties that give it, and QV_SIM_ASAN_PROPS to the
# part of them that a test passing QV_SIM_ENV on to its own program needs. Empty when umockdev is
# missing; those tests then skip. Included once by tests/CMakeLists.txt; qv_add_test(... SIM)
# applies QV_SIM_PROPS.
#
# In sanitizer builds the ASan runtime checks that it comes first among the loaded libraries. It is
# told not to instead of being preloaded itself: a preloaded runtime also starts in every program the
# driver runs (the shell scripts standing in for lsusb, arch and aplay, and what they run), where it
# finds nothing, since those are not ours, and a start and leak scan cost about 40 ms each. Our own
# programs link the runtime and keep every check. CMake before 3.22 cannot append to ASAN_OPTIONS,
# so there the runtime is preloaded as before.
find_library(QV_UMOCKDEV_PRELOAD NAMES libumockdev-preload.so.0 umockdev-preload)
set(QV_SIM_ENV "")
set(QV_SIM_PROPS "")
set(QV_SIM_ASAN_PROPS "")
if(QV_UMOCKDEV_PRELOAD)
  set(_qv_preload "${QV_UMOCKDEV_PRELOAD}")
  if(QV_SANITIZE)
    if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.22)
      set(QV_SIM_ASAN_PROPS ENVIRONMENT_MODIFICATION "ASAN_OPTIONS=string_append::verify_asan_link_order=0")
    else()
      execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                      OUTPUT_VARIABLE _qv_asan OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(_qv_asan AND EXISTS "${_qv_asan}")
        set(_qv_preload "${_qv_asan}:${_qv_preload}")
      endif()
    endif()
  endif()
  set(QV_SIM_ENV "LD_PRELOAD=${_qv_preload}")
  set(QV_SIM_PROPS ENVIRONMENT "${QV_SIM_ENV}" ${QV_SIM_ASAN_PROPS})
endif()
