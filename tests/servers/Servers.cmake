# CTest fixtures for the real test servers (see README.md in this directory).
#
#   include(servers/Servers.cmake)      # from tests/CMakeLists.txt
#   kv_server_fixtures()                # srv_start_NAME / srv_stop_NAME for every server
#   kv_test_uses_servers(test_http nginx squid)
#
# kv_test_uses_servers() makes the test require the fixtures srv_NAME and puts
# KVINET_SERVERS_DIR in its environment; the test reads $KVINET_SERVERS_DIR/NAME/env.

set(KV_SERVER_NAMES nginx squid ftp vsftpd smtp dns ntp daytime scripted)
set(KV_SERVERS_PYTHON /usr/bin/python3 CACHE FILEPATH
    "Python that sees Debian's python3-pyftpdlib and python3-aiosmtpd")
set(KV_SERVERS_DIR "${CMAKE_BINARY_DIR}/servers" CACHE INTERNAL "where the test servers keep their state")
set_property(GLOBAL PROPERTY KV_SERVERS_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/kvservers.py")

function(kv_server_fixtures)
  get_property(script GLOBAL PROPERTY KV_SERVERS_SCRIPT)
  foreach(name IN LISTS KV_SERVER_NAMES)
    add_test(NAME srv_start_${name}
             COMMAND ${KV_SERVERS_PYTHON} ${script} start ${name} --dir ${KV_SERVERS_DIR})
    set_tests_properties(srv_start_${name} PROPERTIES
                         FIXTURES_SETUP srv_${name} TIMEOUT 60 LABELS servers)
    add_test(NAME srv_stop_${name}
             COMMAND ${KV_SERVERS_PYTHON} ${script} stop ${name} --dir ${KV_SERVERS_DIR})
    set_tests_properties(srv_stop_${name} PROPERTIES
                         FIXTURES_CLEANUP srv_${name} TIMEOUT 60 LABELS servers)
  endforeach()
endfunction()

# kv_test_uses_servers(TEST NAME...)
function(kv_test_uses_servers test)
  set(fixtures "")
  foreach(name IN LISTS ARGN)
    if(NOT name IN_LIST KV_SERVER_NAMES)
      message(FATAL_ERROR "kv_test_uses_servers(${test}): unknown server '${name}'")
    endif()
    list(APPEND fixtures srv_${name})
  endforeach()
  set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED ${fixtures})
  set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT "KVINET_SERVERS_DIR=${KV_SERVERS_DIR}")
endfunction()
