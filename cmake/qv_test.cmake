# qv_add_test(<name> SOURCES <files>... [LIBS <targets>...] [INCLUDES <dirs>...] [DEFINES <defs>...]
#             [DEPENDS <targets>...] [SIM] [LABELS <labels>...] [PREFIX <prefix>] [COST <seconds>])
#
# One GoogleTest executable <name> linked with LIBS, the finger generator and gtest_main, compiled
# with the INCLUDES folders and the DEFINES definitions (its own sources at QV_TEST_LEVEL); DEPENDS
# names what its cases load or run at run time (a library or program they copy or start), built
# before it. Its cases are registered as tests when ctest runs (prefixed with PREFIX if given) and
# carry LABELS. SIM links the simulated scanner and clock of tests/support and runs the cases under
# their environment (umockdev's preload library; the udev cases skip without it). An executable with
# a label of QV_TSAN_LABELS also joins the target tsan_tests, the set CI builds and runs under
# ThreadSanitizer. COST is about what the longest case takes under a sanitizer: ctest starts the
# dearest cases first while a build has no timings of its own.
set(QV_TSAN_LABELS driver_flow camera harness)
# The level of the tests' own sources in an optimised build: -O1 compiles them in some 14% less time
# and they run no slower, their work being in the libraries, which keep the build type's level.
# Sanitizer builds (Debug) compile them at -O0.
set(QV_TEST_LEVEL)
if(CMAKE_BUILD_TYPE MATCHES "^(RelWithDebInfo|Release|MinSizeRel)$")
  set(QV_TEST_LEVEL -O1)
endif()

function(qv_add_test name)
  cmake_parse_arguments(PARSE_ARGV 1 _qt "SIM" "PREFIX;COST" "SOURCES;LIBS;INCLUDES;DEFINES;DEPENDS;LABELS")
  if(_qt_UNPARSED_ARGUMENTS OR NOT _qt_SOURCES)
    message(FATAL_ERROR "qv_add_test(${name}): needs SOURCES; unknown arguments: ${_qt_UNPARSED_ARGUMENTS}")
  endif()
  add_executable(${name} ${_qt_SOURCES})
  # A library's source compiled into a test sets its own options after this.
  if(QV_TEST_LEVEL)
    set_property(SOURCE ${_qt_SOURCES} APPEND PROPERTY COMPILE_OPTIONS ${QV_TEST_LEVEL})
  endif()
  target_link_libraries(${name} PRIVATE ${_qt_LIBS} qv_fingergen GTest::gtest_main)
  if(_qt_INCLUDES)
    target_include_directories(${name} PRIVATE ${_qt_INCLUDES})
  endif()
  if(_qt_DEFINES)
    target_compile_definitions(${name} PRIVATE ${_qt_DEFINES})
  endif()
  if(_qt_DEPENDS)
    add_dependencies(${name} ${_qt_DEPENDS})
  endif()
  set(_props)
  if(_qt_SIM)
    # Both object libraries directly: objects of a linked object library do not pass on further.
    target_link_libraries(${name} PRIVATE qv_sim qv_sim_clock)
    list(APPEND _props ${QV_SIM_PROPS})
  endif()
  if(_qt_LABELS)
    list(APPEND _props LABELS "${_qt_LABELS}")
    foreach(_l IN LISTS _qt_LABELS)
      if(_l IN_LIST QV_TSAN_LABELS)
        set_property(GLOBAL APPEND PROPERTY QV_TSAN_TESTS ${name})
        break()
      endif()
    endforeach()
  endif()
  if(_qt_COST)
    list(APPEND _props COST ${_qt_COST})
  endif()
  set(_prefix)
  if(_qt_PREFIX)
    set(_prefix TEST_PREFIX ${_qt_PREFIX})
  endif()
  if(_props)
    gtest_discover_tests(${name} ${_prefix} DISCOVERY_MODE PRE_TEST PROPERTIES ${_props})
  else()
    gtest_discover_tests(${name} ${_prefix} DISCOVERY_MODE PRE_TEST)
  endif()
endfunction()

# After every qv_add_test: the target tsan_tests builds the labelled executables and what their cases
# load or install at run time, and tsan_labels.txt holds the matching ctest -L expression.
function(qv_tsan_tests_target)
  get_property(_tests GLOBAL PROPERTY QV_TSAN_TESTS)
  add_custom_target(tsan_tests)
  add_dependencies(tsan_tests ${_tests} veinsdk veinalg devprobe)
  list(JOIN QV_TSAN_LABELS "|" _alt)
  file(WRITE ${PROJECT_BINARY_DIR}/tsan_labels.txt "^(${_alt})$\n")
endfunction()
