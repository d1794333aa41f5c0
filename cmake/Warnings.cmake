# One place for the warning flags; every target of ours links vex_warnings.
add_library(vex_warnings INTERFACE)
target_compile_options(vex_warnings INTERFACE
  -Wall            # the usual suspects
  -Wextra          # unused parameters, signed/unsigned comparisons, missing initialisers
  -Wshadow         # a local that hides a member is a classic source of wrong-object bugs
  -Wnon-virtual-dtor  # every interface here is deleted through its base pointer
  -Wpointer-arith  # arithmetic on void* is a GNU extension
  -Wformat=2       # printf-style logging with values from packages
)
# GCC on 32-bit ARM notes, for every std::vector of a struct, that GCC 7.1 changed how such arguments are
# passed: a concern only when mixing objects built by compilers older than 7.1, which this build never does.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  target_compile_options(vex_warnings INTERFACE -Wno-psabi)
endif()
option(VEX_WERROR "Treat warnings as errors" OFF)
if(VEX_WERROR)
  target_compile_options(vex_warnings INTERFACE -Werror)
endif()
