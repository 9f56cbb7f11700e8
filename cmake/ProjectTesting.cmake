# Test helpers shared by every room.
include(GoogleTest)

# project_add_gtest(<name> SOURCES ... [LIBS ...] [PHONE_SIM] [DISPLAY] [DESKTOP_INPUT] [SERIAL]
#                   [TIMEOUT s] [END_TO_END])
#  PHONE_SIM: each test process gets its own phone simulator on a fresh COM port
#             (environment: PHONE_SIM_COM, PHONE_SIM_CONTROL).
#  DISPLAY:   each test process runs under its own Xvfb display.
#  DESKTOP_INPUT: the tests move the mouse or type through the input queue; Wine routes that
#             input over one desktop shared by every test of the prefix, so such tests run one
#             at a time.
#  SERIAL:    the test cases share files of their own (a child program and what it writes
#             beside itself), so they run one at a time.
#  END_TO_END: the cases carry the label end_to_end: the programs' own checks, end to end, which
#             a test run on an emulated machine runs by default (scripts/test.sh).
function(project_add_gtest name)
  cmake_parse_arguments(T "PHONE_SIM;DISPLAY;DESKTOP_INPUT;SERIAL;END_TO_END" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  if(WIN32)
    set(opts --prefix ${WINE_TEST_PREFIX} --native ${NATIVE_BUILD_DIR})
    if(T_PHONE_SIM)
      list(APPEND opts --phone-sim)
    endif()
    if(T_DISPLAY)
      list(APPEND opts --display)
    endif()
    set_target_properties(${name} PROPERTIES
      CROSSCOMPILING_EMULATOR "${PROJECT_SOURCE_DIR}/scripts/wine-run.sh;${opts};--")
    target_link_options(${name} PRIVATE -mconsole)
  endif()
  set(properties TIMEOUT ${T_TIMEOUT})
  if(T_DESKTOP_INPUT)
    list(APPEND properties RESOURCE_LOCK desktop_input)
  endif()
  if(T_SERIAL)
    list(APPEND properties RESOURCE_LOCK ${name})
  endif()
  if(T_END_TO_END)
    list(APPEND properties LABELS end_to_end)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()

if(WIN32)
  set(WINE_TEST_PREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the test run")
endif()
