# The tests of the tool's shared units (tests/kvinet/WebOptionsTest.cpp) link them from the tool's object
# library; the test target exists only once tests/CMakeLists.txt has made it, hence the deferral.
cmake_language(DEFER CALL target_link_libraries test_kvinet_WebOptionsTest PRIVATE kvinet_cli)
