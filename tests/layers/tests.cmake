# The layer graph: includes in src/ point down the layers (tests/layers/check_layers.py holds the table),
# and the check itself refuses an upward include.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME layers/include_graph COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/check_layers.py
                                           ${PROJECT_SOURCE_DIR}/src)
add_test(NAME layers/include_graph_refuses_upward
         COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/check_layers.py --self-test)
set_tests_properties(layers/include_graph layers/include_graph_refuses_upward PROPERTIES LABELS layers)

# Every installed header compiles on its own (an installed user includes any one of them first): one
# generated translation unit per header, built with the rest, so a header that leans on its includer's
# includes fails the build.
file(GLOB_RECURSE KV_PUBLIC_HEADERS CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}/src
     ${PROJECT_SOURCE_DIR}/src/*.h)
set(KV_HEADER_UNITS "")
foreach(header ${KV_PUBLIC_HEADERS})
    string(MAKE_C_IDENTIFIER "${header}" unit)
    set(file ${CMAKE_CURRENT_BINARY_DIR}/headers_alone/${unit}.cpp)
    file(CONFIGURE OUTPUT ${file} CONTENT "#include \"${header}\"\n")
    list(APPEND KV_HEADER_UNITS ${file})
endforeach()
add_library(kv_headers_alone OBJECT ${KV_HEADER_UNITS})
target_link_libraries(kv_headers_alone PRIVATE KvInet)
set_target_properties(kv_headers_alone PROPERTIES AUTOMOC OFF)
