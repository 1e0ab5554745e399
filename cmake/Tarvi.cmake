# Shared build helpers. Every folder globs its own sources so that adding a file
# never needs an edit of a shared list.

# tarvi_include_view(<target> <PUBLIC|PRIVATE|INTERFACE> <folder>...)
# The target sees "<folder>/name.h" for the named folders and for no other: its
# include path is a folder of the build tree holding one link per named folder,
# never the repository's root. Together with the linked libraries' own views
# (PUBLIC, so they pass along the link) a folder sees exactly the folders it may
# call, and an include the other way fails to build.
function(tarvi_include_view target scope)
  set(view ${CMAKE_BINARY_DIR}/include-views/${target})
  file(MAKE_DIRECTORY ${view})
  foreach(folder IN LISTS ARGN)
    get_filename_component(parent ${view}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT EXISTS ${view}/${folder})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${view}/${folder} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} ${scope} ${view})
endfunction()

# tarvi_folder_library(<target> <folder> [DEPS ...])
# A static library of every *.cpp directly in <folder>; an interface library while
# the folder has no sources yet. Headers are included as "<folder>/name.h"; the
# folder sees itself and what its DEPS see, nothing else.
function(tarvi_folder_library target folder)
  cmake_parse_arguments(A "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
  if(srcs)
    add_library(${target} STATIC ${srcs})
    tarvi_include_view(${target} PUBLIC ${folder})
    target_link_libraries(${target} PUBLIC ${A_DEPS})
  else()
    add_library(${target} INTERFACE)
    tarvi_include_view(${target} INTERFACE ${folder})
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
