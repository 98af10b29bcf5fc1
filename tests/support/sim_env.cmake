# Sets QV_SIM_ENV to the environment under which tests that use the udev
# fixture run: umockdev's preload library (after the ASan runtime in
# sanitizer builds, which must come first). Empty when umockdev is missing;
# those tests then skip. Included once by tests/CMakeLists.txt; qv_add_test(... SIM)
# applies it.
find_library(QV_UMOCKDEV_PRELOAD NAMES libumockdev-preload.so.0 umockdev-preload)
set(QV_SIM_ENV "")
if(QV_UMOCKDEV_PRELOAD)
  set(_qv_preload "${QV_UMOCKDEV_PRELOAD}")
  if(QV_SANITIZE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE _qv_asan OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(_qv_asan AND EXISTS "${_qv_asan}")
      set(_qv_preload "${_qv_asan}:${_qv_preload}")
    endif()
  endif()
  set(QV_SIM_ENV "LD_PRELOAD=${_qv_preload}")
endif()
