# vantorlog_program(<target> [NO_DEBUG_DATA] [LEAK_OPTIONS <byte>] [OPTIONS <setting>=<value> ...])
#
# Links an executable with the exception library as Quarrion is linked: the raise wraps of
# the C++ runtime, the library's start after the static constructors (--wrap=__main), the leak
# tracker's operators, the 17 exports of the .def file and the program's own debug data as its
# "VLDATA" resource (two links, the same .text; cmake/VantorLogDebugData.cmake), with the
# component library's application handlers in its symbol directory. NO_DEBUG_DATA leaves the
# block out: the library then stays inactive. LEAK_OPTIONS is the leak tracker's options byte
# in the block's header (default 0: no tracking). OPTIONS change the options in the block (see
# debug-data-tool/vldata_options). Call it after the target's sources and libraries are set.
include(VantorLogDebugData)
set(VANTORLOG_PROGRAM_DEF ${CMAKE_CURRENT_LIST_DIR}/../vantorlog/core/ExceptionLog.def)
# The C++ runtime's raise, rethrow and end of a catch block, and where its search for a handler
# ends (the personality routine, std::terminate).
set(VANTORLOG_RAISE_WRAPS -Wl,--wrap=__cxa_throw -Wl,--wrap=__cxa_rethrow
    -Wl,--wrap=__cxa_end_catch -Wl,--wrap=__gxx_personality_v0
    -Wl,--wrap=_ZSt9terminatev)

function(vantorlog_program target)
  cmake_parse_arguments(P "NO_DEBUG_DATA" "LEAK_OPTIONS" "OPTIONS" ${ARGN})
  if(NOT WIN32)
    return()
  endif()
  target_link_libraries(${target} PRIVATE vantorlog_program_startup vantorlog_leak_operators
                        vantorlog_core)
  target_link_options(${target} PRIVATE
    ${VANTORLOG_RAISE_WRAPS} -Wl,--wrap=__main ${VANTORLOG_PROGRAM_DEF})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${VANTORLOG_PROGRAM_DEF})
  if(NOT P_NO_DEBUG_DATA)
    set(leak_options)
    if(P_LEAK_OPTIONS)
      set(leak_options LEAK_OPTIONS ${P_LEAK_OPTIONS})
    endif()
    vantorlog_embed_debug_data(${target} ${leak_options}
      SYMBOLS 0=TApplication::HandleException 1=TApplication::ShowException
      OPTIONS ${P_OPTIONS})
  endif()
endfunction()
