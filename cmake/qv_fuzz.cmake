# qv_fuzz_target(<short> [SOURCES <files>...] [LIBRARIES <targets>...] [CORPUS <dir>])
#
# One fuzz target fuzz_<short>, whose sources (default fuzz_<short>.cpp) define LLVMFuzzerTestOneInput.
# With -DFUZZ=ON it is a libFuzzer program. In the normal build the same body is linked with a small
# runner that feeds it every file of its corpus (default corpus/<short>/), registered as the test
# fuzz_corpus.<short>: the seeds and the regression inputs run in every build.
function(qv_fuzz_target short)
  cmake_parse_arguments(PARSE_ARGV 1 _qf "" "CORPUS" "SOURCES;LIBRARIES")
  if(_qf_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "qv_fuzz_target(${short}): unknown arguments ${_qf_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT _qf_SOURCES)
    set(_qf_SOURCES fuzz_${short}.cpp)
  endif()
  if(NOT _qf_CORPUS)
    set(_qf_CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${short})
  endif()
  if(FUZZ)
    add_executable(fuzz_${short} ${_qf_SOURCES})
    target_link_libraries(fuzz_${short} PRIVATE ${_qf_LIBRARIES})
    target_link_options(fuzz_${short} PRIVATE -fsanitize=fuzzer)
  elseif(QV_TESTS)
    add_executable(fuzz_corpus_${short} ${_qf_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/corpus_runner.cpp)
    target_link_libraries(fuzz_corpus_${short} PRIVATE ${_qf_LIBRARIES})
    add_test(NAME fuzz_corpus.${short} COMMAND fuzz_corpus_${short} ${_qf_CORPUS})
  endif()
endfunction()
