# The TCP end-to-end tests run the loopback tunnel peer in-process.
target_link_libraries(test_${name} PRIVATE zan_tcp_peer)
