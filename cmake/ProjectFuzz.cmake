# libFuzzer targets of the native build, compiled by clang (the native build may use another
# compiler) under AddressSanitizer and UBSan.
#
# project_add_fuzz(<name> SOURCES ... [INCLUDES ...] [LINK ...] [TARGETS ...] [SEED shell]
#                  [OPTIONS ...] [SECONDS n])
#  The fuzzer is rebuilt when a source or a header of an INCLUDES folder changes; TARGETS are
#  built first (seed programs, fixtures). SEED is shell text without ";" (use newlines).
#  Builds <name>-fuzzer (target <name>_fuzzer) and writes the runner <name>_fuzz.sh SECONDS [libFuzzer flags]: it
#  fills the working corpus <name>-fuzz/corpus (SEED runs in <name>-fuzz; the kept corpus
#  fuzz-corpus/<name> beside the sources is copied in) and runs the fuzzer on it for SECONDS.
#  The test <name>_fuzz is a bounded run of SECONDS (default 15); scripts/fuzz.sh runs every
#  runner listed in fuzz-targets.txt of the build folder.
find_program(CLANGXX clang++)
set_property(GLOBAL PROPERTY PROJECT_FUZZ_RUNNERS "")

function(project_add_fuzz name)
  cmake_parse_arguments(F "" "SEED;SECONDS" "SOURCES;INCLUDES;LINK;TARGETS;OPTIONS" ${ARGN})
  if(NOT CLANGXX)
    message(WARNING "clang++ not found: no fuzz target ${name}")
    return()
  endif()
  if(NOT F_SECONDS)
    set(F_SECONDS 15)
  endif()
  if(NOT F_SEED)
    set(F_SEED true)
  endif()
  set(exe ${CMAKE_CURRENT_BINARY_DIR}/${name}-fuzzer)
  set(includes)
  set(headers)
  foreach(dir IN LISTS F_INCLUDES)
    list(APPEND includes -I${dir})
    file(GLOB dir_headers ${dir}/*.h)
    list(APPEND headers ${dir_headers})
  endforeach()
  add_custom_command(OUTPUT ${exe}
    COMMAND ${CLANGXX} -std=c++20 -g -O1 -fno-omit-frame-pointer
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
            ${includes} ${F_SOURCES} ${F_LINK} -ldl -o ${exe}
    DEPENDS ${F_SOURCES} ${headers}
    COMMENT "Building the ${name} fuzzer with clang")
  add_custom_target(${name}_fuzzer ALL DEPENDS ${exe})
  foreach(dep IN LISTS F_TARGETS)
    add_dependencies(${name}_fuzzer ${dep})
  endforeach()

  set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}-fuzz)
  set(kept ${CMAKE_CURRENT_SOURCE_DIR}/fuzz-corpus/${name})
  list(JOIN F_OPTIONS " " options)
  set(runner ${CMAKE_CURRENT_BINARY_DIR}/${name}_fuzz.sh)
  file(GENERATE OUTPUT ${runner}
    CONTENT "#!/bin/sh
# Fuzzes ${name} for \$1 seconds on its corpus; further arguments go to libFuzzer.
set -e
seconds=\$1
shift
mkdir -p '${work}/corpus'
cd '${work}'
${F_SEED}
if [ -d '${kept}' ]; then cp '${kept}'/* corpus/ 2>/dev/null || true; fi
exec '${exe}' -max_total_time=\$seconds -rss_limit_mb=2048 -print_final_stats=1 ${options} \"\$@\" corpus
")
  add_test(NAME ${name}_fuzz COMMAND sh ${runner} ${F_SECONDS})
  set_tests_properties(${name}_fuzz PROPERTIES TIMEOUT 120)
  set_property(GLOBAL APPEND PROPERTY PROJECT_FUZZ_RUNNERS ${runner})
  get_property(runners GLOBAL PROPERTY PROJECT_FUZZ_RUNNERS)
  list(JOIN runners "\n" lines)
  file(WRITE ${CMAKE_BINARY_DIR}/fuzz-targets.txt "${lines}\n")
endfunction()
