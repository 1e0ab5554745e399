# Shared build helpers. Every folder globs its own sources so that adding a file
# never needs an edit of a shared list.

# tarvi_folder_library(<target> <folder> [DEPS ...])
# A static library of every *.cpp directly in <folder>; an interface library while
# the folder has no sources yet. Headers are included as "<folder>/name.h".
function(tarvi_folder_library target folder)
  cmake_parse_arguments(A "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
  if(srcs)
    add_library(${target} STATIC ${srcs})
    target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
    target_link_libraries(${target} PUBLIC ${A_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
    target_link_libraries(${target} INTERFACE ${A_DEPS})
  endif()
endfunction()

# tarvi_add_subdirs(): add every direct subfolder that has a CMakeLists.txt.
function(tarvi_add_subdirs)
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
