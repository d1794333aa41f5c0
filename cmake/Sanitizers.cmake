# Build type "Asan": AddressSanitizer and UndefinedBehaviorSanitizer together, with debug info and
# enough optimisation that the tests stay quick. Any report aborts the test that caused it.
set(CMAKE_CXX_FLAGS_ASAN
    "-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all"
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
