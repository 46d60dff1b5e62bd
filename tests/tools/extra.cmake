# The command-line programs, run as built.
add_dependencies(test_${name} zan-tcp-peer)
target_compile_definitions(test_${name} PRIVATE ZAN_TCP_PEER_PROGRAM="$<TARGET_FILE:zan-tcp-peer>")
