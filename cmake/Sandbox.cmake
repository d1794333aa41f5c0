# Tests that run inside the sandboxed instrument (tools/instrument-sim): real mounts under "/emmc", the
# product-id file, the parameter block in /dev/mem and the power-off stub, none of which may be touched on
# the host.
#
#   vex_add_sandbox_test(NAME <name> COMMAND <target-or-program> [args...]
#                        [SIM_ARGS <instrument-sim options>...] [TIMEOUT <seconds>] [LABELS <labels>...])
#
# COMMAND runs as root inside the sandbox, with the source and build trees bound read-only at their own paths,
# so a test binary and its fixtures are reachable as they are on the host. A target name as the first word is
# replaced by its file. SIM_ARGS are passed to instrument-sim before the command (for example
# "--mount update=rw" or "--product-id 6"). The test passes or fails with the command's exit status; on a
# machine that does not allow the sandbox (not root, no namespaces, no loop devices) CTest reports it as
# skipped, never as passed.
#
# TIMEOUT (default 120) is the command's own limit inside the sandbox. CTest's limit is set above it, so that
# the sandbox always gets to tear down and detach its loop devices before CTest would kill it.

set(VEX_INSTRUMENT_SIM ${CMAKE_CURRENT_LIST_DIR}/../tools/instrument-sim)
get_filename_component(VEX_INSTRUMENT_SIM ${VEX_INSTRUMENT_SIM} ABSOLUTE)

function(vex_add_sandbox_test)
  cmake_parse_arguments(arg "" "NAME;TIMEOUT" "COMMAND;SIM_ARGS;LABELS" ${ARGN})
  if(NOT arg_NAME OR NOT arg_COMMAND)
    message(FATAL_ERROR "vex_add_sandbox_test: NAME and COMMAND are required")
  endif()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "vex_add_sandbox_test(${arg_NAME}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 120)
  endif()
  math(EXPR ctest_timeout "${arg_TIMEOUT} + 90")

  list(POP_FRONT arg_COMMAND program)
  if(TARGET ${program})
    set(program $<TARGET_FILE:${program}>)
  endif()

  set(binds --bind ${PROJECT_SOURCE_DIR})
  string(FIND "${PROJECT_BINARY_DIR}/" "${PROJECT_SOURCE_DIR}/" inside)
  if(NOT inside EQUAL 0)
    list(APPEND binds --bind ${PROJECT_BINARY_DIR})
  endif()

  add_test(NAME ${arg_NAME}
           COMMAND ${VEX_INSTRUMENT_SIM} --quiet --fat-lib $<TARGET_FILE:sim_fat_attr>
                   --timeout ${arg_TIMEOUT}
                   ${binds} ${arg_SIM_ARGS} -- ${program} ${arg_COMMAND})
  set_tests_properties(${arg_NAME} PROPERTIES
    SKIP_RETURN_CODE 77
    TIMEOUT ${ctest_timeout}
    LABELS "sandbox;${arg_LABELS}")
endfunction()
