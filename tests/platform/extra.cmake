# The platform layer and the exception reports live in the control library.
target_link_libraries(test_${name} PRIVATE ZAN_Tunnel_control)
