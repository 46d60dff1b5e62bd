# The recorder tests also run zan-rec's commands in-process and the built
# program once.
target_link_libraries(test_${name} PRIVATE zan_rec_commands)
add_dependencies(test_${name} zan-rec)
target_compile_definitions(test_${name} PRIVATE ZAN_REC_PROGRAM="$<TARGET_FILE:zan-rec>")
