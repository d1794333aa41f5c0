# Build type "Asan": AddressSanitizer and UndefinedBehaviorSanitizer together, with debug info and
# enough optimisation that the tests stay quick. Any report aborts the test that caused it. Line tables
# (-g1) are all the reports need and build in two thirds of the time; -DVEX_ASAN_DEBUG_INFO=-g gives a
# debugger the variables too.
set(VEX_ASAN_DEBUG_INFO "-g1" CACHE STRING "Debug-info option of the sanitizer build")
set(CMAKE_CXX_FLAGS_ASAN
    "-O1 ${VEX_ASAN_DEBUG_INFO} -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all"
    CACHE STRING "C++ flags for the sanitizer build" FORCE)
set(CMAKE_C_FLAGS_ASAN "${CMAKE_CXX_FLAGS_ASAN}" CACHE STRING "C flags for the sanitizer build" FORCE)
set(CMAKE_EXE_LINKER_FLAGS_ASAN "-fsanitize=address,undefined" CACHE STRING "" FORCE)
set(CMAKE_SHARED_LINKER_FLAGS_ASAN "-fsanitize=address,undefined" CACHE STRING "" FORCE)
mark_as_advanced(CMAKE_CXX_FLAGS_ASAN CMAKE_C_FLAGS_ASAN CMAKE_EXE_LINKER_FLAGS_ASAN
                 CMAKE_SHARED_LINKER_FLAGS_ASAN)

string(TOLOWER "${CMAKE_BUILD_TYPE}" _vex_build_type)
if(_vex_build_type STREQUAL "asan")
  set(VEX_SANITIZED ON)
else()
  set(VEX_SANITIZED OFF)
endif()

# The fuzz build: every library instrumented for libFuzzer's coverage and checked by AddressSanitizer and
# UndefinedBehaviorSanitizer; the fuzz targets under tests/fuzz link libFuzzer itself. Clang only, in a
# build directory of its own (scripts/fuzz, or scripts/test fuzz).
option(VEX_FUZZ "Build the libFuzzer fuzz targets (clang)" OFF)
if(VEX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VEX_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()
