# vex_add_library(NAME FOLDERS... [EXCLUDE FILES...]): one static library of ours from every source in the
# given folders (relative to the calling CMakeLists.txt) except the named program files, with the project's
# warnings. Includes are written from the source root ("pkg/items/ItemFile.h"), the one include directory of
# the library and of everything that links it. A folder with no sources is an error: a layer that builds none
# of its files would hide them.
function(vex_add_library name)
  cmake_parse_arguments(arg "" "" "EXCLUDE" ${ARGN})
  set(sources)
  foreach(folder ${arg_UNPARSED_ARGUMENTS})
    get_filename_component(dir ${folder} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.h)
    if(NOT found)
      message(FATAL_ERROR "vex_add_library(${name}): no sources in ${dir}")
    endif()
    list(APPEND sources ${found})
  endforeach()
  foreach(file ${arg_EXCLUDE})
    get_filename_component(path ${file} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    list(REMOVE_ITEM sources ${path})
  endforeach()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE vex_warnings)
endfunction()
