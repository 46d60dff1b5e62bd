# The TCP tunnel tests run the loopback test peer in-process.
target_link_libraries(test_${name} PRIVATE zan_tcp_peer)
