# Every fuzz target (fuzz/fuzz_<name>.cpp) is also built with the ordinary compiler and replayed over its
# seed corpus (fuzz/corpus/fuzz_<name>/) as the CTest test fuzz/<name>. Not in a fuzzing build, whose
# instrumented library only links into fuzzers.
if(KVINET_FUZZ)
    return()
endif()
file(GLOB KV_FUZZ_TARGETS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/fuzz/fuzz_*.cpp)
foreach(source ${KV_FUZZ_TARGETS})
    get_filename_component(name ${source} NAME_WE)
    add_executable(replay_${name} ${source} ${CMAKE_CURRENT_LIST_DIR}/FuzzReplay.cpp)
    target_link_libraries(replay_${name} PRIVATE KvInet)
    add_test(NAME fuzz/${name} COMMAND replay_${name} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
    set_tests_properties(fuzz/${name} PROPERTIES TIMEOUT 300 LABELS fuzz)
endforeach()
