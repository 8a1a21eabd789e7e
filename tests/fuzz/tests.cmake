# Replays the corpus of every fuzz target (fuzz/fuzz_NAME.cpp, corpus in fuzz/corpus/fuzz_NAME/) in the
# normal build, without libFuzzer: each input runs once through the target's entry point.
file(GLOB KV_FUZZ_TARGETS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/fuzz/fuzz_*.cpp)
foreach(source ${KV_FUZZ_TARGETS})
    get_filename_component(name ${source} NAME_WE)
    add_executable(replay_${name} ${source} ${PROJECT_SOURCE_DIR}/fuzz/ReplayMain.cpp)
    target_link_libraries(replay_${name} PRIVATE KvInet)
    add_test(NAME fuzz/replay_${name} COMMAND replay_${name} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
    set_tests_properties(fuzz/replay_${name} PROPERTIES TIMEOUT 300 LABELS fuzz)
endforeach()
