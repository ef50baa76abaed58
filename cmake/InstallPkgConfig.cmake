# Run by `cmake --install`: writes cli_agent.pc for the prefix of this
# install. A system prefix is named as it is, so pkg-config recognises its
# directories and leaves them out; any other prefix is found from the
# file's own directory, so the installed tree can be moved.
#
# Set by the caller: template, pc_libdir (the library directory relative
# to the prefix), system_prefixes, staged (a scratch directory).
list(FIND system_prefixes "${CMAKE_INSTALL_PREFIX}" system_index)
if(system_index GREATER -1)
  set(CLI_AGENT_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
  file(RELATIVE_PATH to_prefix ${CMAKE_INSTALL_PREFIX}/${pc_libdir}/pkgconfig
       ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" to_prefix "${to_prefix}")
  set(CLI_AGENT_PC_PREFIX "\${pcfiledir}/${to_prefix}")
endif()
configure_file(${template} ${staged}/cli_agent.pc @ONLY)
file(INSTALL ${staged}/cli_agent.pc DESTINATION ${CMAKE_INSTALL_PREFIX}/${pc_libdir}/pkgconfig)
