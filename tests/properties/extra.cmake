# The property tests exercise the control's property classes directly.
target_link_libraries(test_${name} PRIVATE ZAN_Tunnel_control)
