# Decides which optional parts of the build are made. A part set to AUTO is
# built when what it needs is found and skipped with a note naming the
# Debian package that would enable it; a part set to ON fails the
# configuration with the same note instead.
#
# Afterwards CLI_AGENT_BUILD_TESTS, CLI_AGENT_BUILD_TOOLS and
# CLI_AGENT_BUILD_MANPAGES are plain ON or OFF in the calling scope, and
# CLI_AGENT_BASH_COMPLETION_DIR names where the completion of cli-server goes.

# cli_agent_decide_part(VAR FOUND WHAT PACKAGE): settles one part.
function(cli_agent_decide_part var found what package)
  set(requested "${${var}}")
  string(TOUPPER "${requested}" requested)
  if(requested STREQUAL "AUTO")
    if(found)
      set(${var} ON PARENT_SCOPE)
    else()
      message(NOTICE "cli_agent: skipping ${what}: install ${package} to build it "
                     "(or set ${var}=OFF to silence this)")
      set(${var} OFF PARENT_SCOPE)
    endif()
  elseif(requested)
    if(NOT found)
      message(FATAL_ERROR "cli_agent: ${var}=ON but ${what} cannot be built: "
                          "install ${package}, or set ${var}=OFF or AUTO")
    endif()
    set(${var} ON PARENT_SCOPE)
  else()
    set(${var} OFF PARENT_SCOPE)
  endif()
endfunction()

# Looks only for what the requested parts need.
function(cli_agent_resolve_parts)
  find_package(PkgConfig QUIET)

  set(gtest_found FALSE)
  if(CLI_AGENT_BUILD_TESTS)
    find_package(GTest QUIET)
    set(gtest_found ${GTest_FOUND})
  endif()
  cli_agent_decide_part(CLI_AGENT_BUILD_TESTS "${gtest_found}" "the tests (GoogleTest)"
                        "libgtest-dev")

  set(tools_deps_found FALSE)
  if(CLI_AGENT_BUILD_TOOLS AND PKG_CONFIG_FOUND)
    pkg_check_modules(CLI_AGENT_LIBEDIT QUIET libedit)
    pkg_check_modules(CLI_AGENT_LIBSYSTEMD QUIET libsystemd)
    find_package(nlohmann_json 3 QUIET)
    if(CLI_AGENT_LIBEDIT_FOUND AND CLI_AGENT_LIBSYSTEMD_FOUND AND nlohmann_json_FOUND)
      set(tools_deps_found TRUE)
    endif()
  endif()
  cli_agent_decide_part(CLI_AGENT_BUILD_TOOLS "${tools_deps_found}"
                        "cli-server (libedit, libsystemd, nlohmann-json)"
                        "libedit-dev, libsystemd-dev, nlohmann-json3-dev and pkg-config")

  find_program(CLI_AGENT_SCDOC scdoc)
  cli_agent_decide_part(CLI_AGENT_BUILD_MANPAGES "${CLI_AGENT_SCDOC}"
                        "the manual pages (scdoc)" "scdoc")

  # bash-completion names its directory with its own prefix; keep the part
  # below that prefix and put it below ours, so every install stays inside
  # its prefix.
  set(completion_dir ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  if(PKG_CONFIG_FOUND)
    pkg_get_variable(bc_dir bash-completion completionsdir)
    pkg_get_variable(bc_prefix bash-completion prefix)
    if(bc_dir AND bc_prefix)
      file(RELATIVE_PATH completion_dir ${bc_prefix} ${bc_dir})
    endif()
  endif()
  set(CLI_AGENT_BASH_COMPLETION_DIR ${completion_dir} CACHE PATH
      "Where the bash completion of cli-server is installed, relative to the prefix")

  foreach(var CLI_AGENT_BUILD_TESTS CLI_AGENT_BUILD_TOOLS CLI_AGENT_BUILD_MANPAGES)
    set(${var} ${${var}} PARENT_SCOPE)
  endforeach()
endfunction()
