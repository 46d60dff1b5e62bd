# The module tests load the built module file by its path, as a host does.
add_dependencies(test_${name} ZAN_Tunnel)
target_compile_definitions(test_${name} PRIVATE ZAN_MODULE_PATH="$<TARGET_FILE:ZAN_Tunnel>")
target_link_libraries(test_${name} PRIVATE ZAN_Tunnel_control ${CMAKE_DL_LIBS})
# The command-line tests run the registration tool and the host program.
add_dependencies(test_${name} zan-regsvr zan-tunnel)
target_compile_definitions(test_${name} PRIVATE ZAN_REGSVR_PROGRAM="$<TARGET_FILE:zan-regsvr>"
                                                ZAN_TUNNEL_PROGRAM="$<TARGET_FILE:zan-tunnel>")
