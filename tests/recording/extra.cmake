# The recorder tests also run zan-rec's commands in-process and the built
# program, parse its JSON answers and read its captures back with libpcap.
find_package(nlohmann_json REQUIRED)
target_link_libraries(test_${name} PRIVATE zan_rec_commands PkgConfig::PCAP nlohmann_json::nlohmann_json)
add_dependencies(test_${name} zan-rec)
target_compile_definitions(test_${name} PRIVATE ZAN_REC_PROGRAM="$<TARGET_FILE:zan-rec>")
