target_link_libraries(test_${name} PRIVATE ZAN_Tunnel_control)
# Sinks, shown messages and the log folder are the platform tests' helpers.
target_include_directories(test_${name} PRIVATE ${dir}/../platform)
# The end-to-end test runs two command-line hosts against each other.
if(TARGET zan-tunnel)
  add_dependencies(test_${name} zan-tunnel)
  target_compile_definitions(test_${name} PRIVATE ZAN_TUNNEL_PROGRAM="$<TARGET_FILE:zan-tunnel>")
endif()
target_link_libraries(test_${name} PRIVATE zan_tcp_peer)
# The command-line host's checks, log lines and status file, tested directly.
if(TARGET zan_tunnel_host)
  target_link_libraries(test_${name} PRIVATE zan_tunnel_host)
endif()
