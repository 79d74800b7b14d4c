# Helpers shared by every folder's CMakeLists.txt.
#
#   dv_library(<target> [DEPS <targets>...] [SYSTEM_LIBS <libs>...])
#     A static library of every *.cc in the current folder. Headers are included
#     as "<folder under src/lib>/<file>.h", e.g. "libpal/verr.h".
#   dv_program(<name> [DEPS <targets>...])
#     An executable of every *.cc in the current folder, placed in <build>/bin.

function(dv_library name)
  cmake_parse_arguments(A "" "" "DEPS;SYSTEM_LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  add_library(${name} STATIC ${srcs})
  set_target_properties(${name} PROPERTIES PREFIX "")
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src/lib)
  target_link_libraries(${name} PUBLIC ${A_DEPS} ${A_SYSTEM_LIBS} Threads::Threads)
  set_property(GLOBAL APPEND PROPERTY DV_LIBRARIES ${name})
endfunction()

function(dv_program name)
  cmake_parse_arguments(A "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  add_executable(${name} ${srcs})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src/lib ${CMAKE_SOURCE_DIR}/src/opt)
  target_link_libraries(${name} PRIVATE ${A_DEPS})
  if(DV_STATIC)
    target_link_options(${name} PRIVATE -static)
  endif()
endfunction()
