# A program that asks to have itself deleted after it exits (started by the kviutil test from odd paths).
add_executable(kv_deleteexe_child ${CMAKE_CURRENT_LIST_DIR}/DeleteExeChild.cpp)
target_link_libraries(kv_deleteexe_child PRIVATE KvInet)
