target_link_libraries(test_${name} PRIVATE ZAN_Tunnel_control)
# The end-to-end test runs two command-line hosts against each other.
if(TARGET zan-tunnel)
  add_dependencies(test_${name} zan-tunnel)
  target_compile_definitions(test_${name} PRIVATE ZAN_TUNNEL_PROGRAM="$<TARGET_FILE:zan-tunnel>")
endif()
target_link_libraries(test_${name} PRIVATE zan_tcp_peer)
