# The TCP tunnel tests run the test peer in-process.
target_link_libraries(test_${name} PRIVATE zan_tcp_peer)
# Plain POSIX loopback helpers shared with the socket tests.
target_include_directories(test_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/sockets)
