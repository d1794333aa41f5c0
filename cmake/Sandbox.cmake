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
    vex_sandbox_program(${program} program)
  endif()

  set(binds --bind ${PROJECT_SOURCE_DIR})
  string(FIND "${PROJECT_BINARY_DIR}/" "${PROJECT_SOURCE_DIR}/" inside)
  if(NOT inside EQUAL 0)
    list(APPEND binds --bind ${PROJECT_BINARY_DIR})
  endif()

  # A cross build's FAT library is the target's: the sandbox preloads its own host build into the host's
  # programs, and the emulated ones get the target's (vex_sandbox_program).
  set(fat_lib --fat-lib $<TARGET_FILE:sim_fat_attr>)
  if(CMAKE_CROSSCOMPILING)
    set(fat_lib)
  endif()
  add_test(NAME ${arg_NAME}
           COMMAND ${VEX_INSTRUMENT_SIM} --quiet ${fat_lib}
                   --timeout ${arg_TIMEOUT}
                   ${binds} ${arg_SIM_ARGS} -- ${program} ${arg_COMMAND})
  set_tests_properties(${arg_NAME} PROPERTIES
    SKIP_RETURN_CODE 77
    TIMEOUT ${ctest_timeout}
    LABELS "sandbox;${arg_LABELS}")
endfunction()

# vex_sandbox_program(TARGET OUT_VAR): how a program of ours is started inside the sandbox. Natively its file;
# in a cross build a small script that runs it under CMAKE_CROSSCOMPILING_EMULATOR (qemu-arm-static needs no
# binfmt registration), with the target's build of the FAT attribute library preloaded into it. The programs
# it starts (the shell, mount, the package's scripts) stay the host's: the library path goes through ld.so's
# $LIB, which names each architecture's own build of the library.
if(CMAKE_CROSSCOMPILING)
  add_library(qemu_user_shim MODULE ${CMAKE_CURRENT_LIST_DIR}/../tools/qemu_user_shim.c)
  set_target_properties(qemu_user_shim PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tools)
  target_link_libraries(qemu_user_shim PRIVATE ${CMAKE_DL_LIBS})

  # Every program of ours that runs on the build machine (the unit tests, their discovery, Sonoprobe) runs
  # with the shim preloaded too: without it a QProcess under qemu clones a copy of the test program that
  # goes on running the tests, and whose pid the parent later signals as -1, which is every process. The
  # host programs a test starts (the shell, cat) find the host's C library under the shim's name through
  # ld.so's $LIB: nothing they do not load anyway.
  set(VEX_PLAIN_EMULATOR ${CMAKE_CROSSCOMPILING_EMULATOR})
  list(JOIN VEX_PLAIN_EMULATOR " " plain_emulator)
  execute_process(COMMAND gcc -print-multiarch OUTPUT_VARIABLE host_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND gcc -print-file-name=libc.so.6 OUTPUT_VARIABLE host_libc OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REAL_PATH ${host_libc} host_libc)
  set(shim_dir ${PROJECT_BINARY_DIR}/tools/emulator-libs)
  file(MAKE_DIRECTORY ${shim_dir}/lib/${CMAKE_LIBRARY_ARCHITECTURE} ${shim_dir}/lib/${host_arch})
  file(CREATE_LINK ${PROJECT_BINARY_DIR}/tools/qemu_user_shim.so
       ${shim_dir}/lib/${CMAKE_LIBRARY_ARCHITECTURE}/qemu_user_shim.so SYMBOLIC)
  file(CREATE_LINK ${host_libc} ${shim_dir}/lib/${host_arch}/qemu_user_shim.so SYMBOLIC)
  file(WRITE ${PROJECT_BINARY_DIR}/emulated/run "#!/bin/sh
# Runs a program of this ${CMAKE_SYSTEM_PROCESSOR} build under ${plain_emulator}, the shim preloaded.
LD_PRELOAD='${shim_dir}/$LIB/qemu_user_shim.so'\${LD_PRELOAD:+\" \$LD_PRELOAD\"}
export LD_PRELOAD
exec ${plain_emulator} \"\$@\"
")
  file(CHMOD ${PROJECT_BINARY_DIR}/emulated/run
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_BINARY_DIR}/emulated/run)
endif()

function(vex_sandbox_program target out_var)
  if(NOT CMAKE_CROSSCOMPILING)
    set(${out_var} $<TARGET_FILE:${target}> PARENT_SCOPE)
    return()
  endif()
  set(fat_dir ${PROJECT_BINARY_DIR}/tools/fat-libs)
  if(NOT IS_SYMLINK ${fat_dir}/lib/${CMAKE_LIBRARY_ARCHITECTURE}/qemu_user_shim.so)
    # The host's copy is the one the sandbox itself preloads.
    file(MAKE_DIRECTORY ${fat_dir}/lib/${CMAKE_LIBRARY_ARCHITECTURE} ${fat_dir}/lib/${host_arch})
    file(CREATE_LINK /run/instrument-sim/sim_fat_attr.so ${fat_dir}/lib/${host_arch}/sim_fat_attr.so SYMBOLIC)
    file(CREATE_LINK ${PROJECT_BINARY_DIR}/tools/sim_fat_attr.so
         ${fat_dir}/lib/${CMAKE_LIBRARY_ARCHITECTURE}/sim_fat_attr.so SYMBOLIC)
    # The emulator's shim is the target's alone; the host's name for it is the library already preloaded.
    file(CREATE_LINK /run/instrument-sim/sim_fat_attr.so ${fat_dir}/lib/${host_arch}/qemu_user_shim.so SYMBOLIC)
    file(CREATE_LINK ${PROJECT_BINARY_DIR}/tools/qemu_user_shim.so
         ${fat_dir}/lib/${CMAKE_LIBRARY_ARCHITECTURE}/qemu_user_shim.so SYMBOLIC)
  endif()
  list(JOIN VEX_PLAIN_EMULATOR " " emulator)
  set(wrapper ${PROJECT_BINARY_DIR}/emulated/${target})
  file(GENERATE OUTPUT ${wrapper}
       CONTENT "#!/bin/sh
# Runs ${target} (${CMAKE_SYSTEM_PROCESSOR}) under emulation inside the sandboxed instrument.
if [ -n \"\$LD_PRELOAD\" ]; then
  LD_PRELOAD='${fat_dir}/$LIB/sim_fat_attr.so ${fat_dir}/$LIB/qemu_user_shim.so'
  export LD_PRELOAD
fi
exec ${emulator} $<TARGET_FILE:${target}> \"\$@\"
"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(${out_var} ${wrapper} PARENT_SCOPE)
endfunction()
