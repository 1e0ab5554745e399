# tarvi_fuzz_target(<name> LABEL <label> CORPUS <folder> SOURCES <files...>
#                   [LIBS <targets...>] [INSTRUMENT <targets...>]
#                   [DEFINES <...>] [INCLUDES <...>] [DEPENDS <targets...>])
#
# One fuzz entry (a file defining LLVMFuzzerTestOneInput) built two ways:
#  - every build: fuzz_replay_<name>, the entry with a main that runs each file of
#    the seed corpus once; CTest runs it as the test fuzz_replay_<name> (LABEL);
#  - with -DTARVI_FUZZ=ON and clang: fuzz_<name>, a libFuzzer target. The
#    INSTRUMENT libraries then get coverage feedback and the sanitizers too, and
#    SOURCES compiled into the entry (a stand-in library's own files) get them
#    with it. Such a tree is for fuzzing only: configure it without
#    TARVI_SANITIZE and build the fuzz_* targets alone.
# Included by each folder that has fuzz entries; the variables below are set in
# that folder's scope.

option(TARVI_FUZZ "Build the libFuzzer targets (clang only)" OFF)
set(TARVI_FUZZ_SUPPORT_DIR ${CMAKE_CURRENT_LIST_DIR})
# Undefined behaviour ends the run with the input that caused it, as a crash does;
# a report that is printed while fuzzing goes on is lost among the rest.
set(TARVI_FUZZ_STOP -fno-sanitize-recover=all)

# The cryptographic library's own sources, for entries that take it in-process
# (tests/support/fuzz/inprocess_tarvirsa.h binds the program's table to them).
file(GLOB TARVI_FUZZ_TARVIRSA_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/outside/tarvirsa/*.cpp)
set(TARVI_FUZZ_TARVIRSA_SOURCES ${TARVI_FUZZ_TARVIRSA_SOURCES} ${TARVI_FUZZ_SUPPORT_DIR}/inprocess_tarvirsa.cpp)

function(_tarvi_fuzz_setup target)
  cmake_parse_arguments(S "" "" "LIBS;DEFINES;INCLUDES;DEPENDS" ${ARGN})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${TARVI_FUZZ_SUPPORT_DIR} ${S_INCLUDES})
  if(S_DEFINES)
    target_compile_definitions(${target} PRIVATE ${S_DEFINES})
  endif()
  target_link_libraries(${target} PRIVATE ${S_LIBS})
  foreach(d IN LISTS S_DEPENDS)
    if(TARGET ${d})
      add_dependencies(${target} ${d})
    endif()
  endforeach()
endfunction()

function(tarvi_fuzz_target name)
  cmake_parse_arguments(F "" "LABEL;CORPUS" "SOURCES;LIBS;INSTRUMENT;DEFINES;INCLUDES;DEPENDS" ${ARGN})
  set(common LIBS ${F_LIBS} DEFINES ${F_DEFINES} INCLUDES ${F_INCLUDES} DEPENDS ${F_DEPENDS})

  set(replay fuzz_replay_${name})
  add_executable(${replay} ${F_SOURCES} ${TARVI_FUZZ_SUPPORT_DIR}/replay_main.cpp)
  _tarvi_fuzz_setup(${replay} ${common})
  add_test(NAME ${replay} COMMAND ${replay} ${F_CORPUS})
  set_tests_properties(${replay} PROPERTIES LABELS "${F_LABEL}" ENVIRONMENT "${TARVI_TEST_ENV}" TIMEOUT 600)

  if(NOT TARVI_FUZZ)
    return()
  endif()
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(STATUS "fuzz_${name} needs clang (-DCMAKE_CXX_COMPILER=clang++); not built")
    return()
  endif()
  foreach(lib IN LISTS F_INSTRUMENT)
    get_property(done TARGET ${lib} PROPERTY TARVI_FUZZ_INSTRUMENTED)
    if(NOT done)
      target_compile_options(${lib} PRIVATE -fsanitize=fuzzer-no-link,address,undefined ${TARVI_FUZZ_STOP})
      set_property(TARGET ${lib} PROPERTY TARVI_FUZZ_INSTRUMENTED ON)
    endif()
  endforeach()
  add_executable(fuzz_${name} ${F_SOURCES})
  _tarvi_fuzz_setup(fuzz_${name} ${common})
  target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined ${TARVI_FUZZ_STOP})
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined)
endfunction()
