# The install rules of the top-level project: library, headers, CMake
# package, pkg-config file, manual pages and shell completion.
#
# The headers go into a directory of their own (include/cli_agent/) so
# generic names such as cli_common.h never clash with another package's;
# the CMake package and the .pc file add that directory, so consumers keep
# writing #include <cli_agent.h>.
#
# Every path is relative to the prefix, so a tree installed into a private
# prefix can be moved (DESTDIR, --prefix, an unpacked package). A system
# install (/usr, /usr/local) writes its prefix into the .pc file instead:
# pkg-config then sees its own system directories and leaves -I/usr/include
# and the system -L out.
include(CMakePackageConfigHelpers)
set(CLI_AGENT_HEADER_DIR ${CMAKE_INSTALL_INCLUDEDIR}/cli_agent)

install(TARGETS cli_agent EXPORT cli_agentTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# Every public header in include/ (C and C++ alike) is installed.
install(DIRECTORY include/ DESTINATION ${CLI_AGENT_HEADER_DIR}
        FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")
install(EXPORT cli_agentTargets NAMESPACE cli_agent::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/cli_agent)
configure_package_config_file(cmake/cli_agentConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cli_agentConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/cli_agent)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cli_agentConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cli_agentConfig.cmake
              ${PROJECT_BINARY_DIR}/cli_agentConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/cli_agent)

set(CLI_AGENT_PC_SYSTEM_PREFIXES /usr /usr/local CACHE STRING
    "Prefixes whose cli_agent.pc names the prefix itself instead of finding it from its directory")
# The prefix is the one of the install (cmake --install --prefix may change
# it), so the .pc file is written then, from a template made now.
file(RELATIVE_PATH CLI_AGENT_PC_LIBDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH CLI_AGENT_PC_INCLUDEDIR ${CMAKE_INSTALL_PREFIX}
     ${CMAKE_INSTALL_FULL_INCLUDEDIR}/cli_agent)
set(CLI_AGENT_PC_PREFIX "@CLI_AGENT_PC_PREFIX@")
configure_file(cmake/cli_agent.pc.in ${PROJECT_BINARY_DIR}/cli_agent.pc.template @ONLY)
install(CODE "
  set(template \"${PROJECT_BINARY_DIR}/cli_agent.pc.template\")
  set(pc_libdir \"${CLI_AGENT_PC_LIBDIR}\")
  set(system_prefixes \"${CLI_AGENT_PC_SYSTEM_PREFIXES}\")
  set(staged \"${PROJECT_BINARY_DIR}/pkgconfig-staged\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/InstallPkgConfig.cmake\")")
