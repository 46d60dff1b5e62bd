# Installation and packaging, the way C++ libraries are consumed on Debian:
# the module (libZAN_Tunnel.so.1) with its public headers, an exported CMake
# package (ZAN_Tunnel::ZAN_Tunnel), a relocatable pkg-config file, the
# programs (man/ adds their man pages), the zan-tunnel@.service template unit;
# cpack -G DEB makes a package that registers
# the module after installing it and unregisters it before removal.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZAN_MODULE_VERSION 1.0.0)
set(ZAN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZAN_Tunnel)

target_include_directories(ZAN_Tunnel INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                                $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(ZAN_Tunnel INTERFACE cxx_std_20)

install(TARGETS ZAN_Tunnel EXPORT ZAN_TunnelTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development)
install(DIRECTORY include/zan_tunnel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
install(EXPORT ZAN_TunnelTargets NAMESPACE ZAN_Tunnel:: DESTINATION ${ZAN_CMAKE_DIR})
configure_package_config_file(cmake/ZAN_TunnelConfig.cmake.in ${CMAKE_BINARY_DIR}/ZAN_TunnelConfig.cmake
                              INSTALL_DESTINATION ${ZAN_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/ZAN_TunnelConfigVersion.cmake
                                 VERSION ${ZAN_MODULE_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/ZAN_TunnelConfig.cmake ${CMAKE_BINARY_DIR}/ZAN_TunnelConfigVersion.cmake
        DESTINATION ${ZAN_CMAKE_DIR})

# pkg-config: the prefix is found from the .pc file's own place, so the
# files work from whatever prefix they were installed to.
file(RELATIVE_PATH ZAN_PC_PREFIX_FROM_PCDIR /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(cmake/zan-tunnel.pc.in ${CMAKE_BINARY_DIR}/zan-tunnel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zan-tunnel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The Debian package installs under /usr and registers the module there.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

foreach(program zan-tunnel zan-rec zan-regsvr zan-tcp-peer)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
# The man pages and the bash completion are installed by man/CMakeLists.txt.

# The service template unit: one tunnel per instance, from its config file.
set(ZAN_INSTALLED_BINDIR ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR})
configure_file(packaging/zan-tunnel@.service.in ${CMAKE_BINARY_DIR}/packaging/zan-tunnel@.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/zan-tunnel@.service DESTINATION lib/systemd/system)
install(FILES packaging/site.conf.example DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(ZAN_INSTALLED_MODULE ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/libZAN_Tunnel.so.1)
set(ZAN_INSTALLED_REGSVR ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/zan-regsvr)
foreach(script postinst prerm postrm)
  configure_file(packaging/${script}.in ${CMAKE_BINARY_DIR}/packaging/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zan-tunnel)
set(CPACK_PACKAGE_VERSION ${ZAN_MODULE_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ZAN tunnel: carries local UDP datagrams to a peer over UDP or TCP")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "ZAN tunnel developers <zan-tunnel@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/postinst ${CMAKE_BINARY_DIR}/packaging/prerm
                                       ${CMAKE_BINARY_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# The install test: install into a temporary prefix, build examples/host
# against the installed files alone (CMake package, then pkg-config) and run
# it through a loopback tunnel.
if(BUILD_TESTING AND NOT ZAN_FUZZ)
  add_test(NAME InstallTest.ExampleHostBuildsAndRunsFromTheInstalledFiles
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/install/install_test.sh ${CMAKE_BINARY_DIR}
                   ${PROJECT_SOURCE_DIR} "${ZAN_SANITIZE}")
  set_tests_properties(InstallTest.ExampleHostBuildsAndRunsFromTheInstalledFiles
                       PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 900 RUN_SERIAL ON)
endif()
