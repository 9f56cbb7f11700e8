# vantorlog_embed_debug_data(<target> [PASSWORD <text>] [LEAK_OPTIONS <byte>]
#                            [SYMBOLS <id>=<function> ...] [OPTIONS <setting>=<value> ...])
#
# Gives an executable the exception library's debug data as its resource "VLDATA": the
# program's objects (moved to the object library <target>_objects) are linked once more as
# <target>_firstlink, debug-data-tool/vldata_tool.py
# writes the block from that link's symbols and line tables, and <target> is linked with the
# block. The build fails (and <target> is removed) unless the two links have the same .text.
# Call it after the target's sources, libraries and link options are set. The options block
# comes from the native build's debug-data-tool/vldata_options (NATIVE_BUILD_DIR). LEAK_OPTIONS
# is the leak tracker's options byte of the block's header (0, tracking off, when not given).
# The options block is the defaults with the OPTIONS settings changed.
set(VANTORLOG_DEBUG_DATA_TOOL ${CMAKE_CURRENT_LIST_DIR}/../debug-data-tool/vldata_tool.py)

function(vantorlog_embed_debug_data target)
  cmake_parse_arguments(D "" "PASSWORD;LEAK_OPTIONS" "SYMBOLS;OPTIONS" ${ARGN})
  if(NOT WIN32)
    return()
  endif()
  set(options_writer ${NATIVE_BUILD_DIR}/debug-data-tool/vldata_options)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}.vldata.d)
  set(first ${target}_firstlink)

  # The program's objects move to an object library that both links take.
  set(objects ${target}_objects)
  get_target_property(sources ${target} SOURCES)
  get_target_property(libs ${target} LINK_LIBRARIES)
  get_target_property(link_options ${target} LINK_OPTIONS)
  get_target_property(gui ${target} WIN32_EXECUTABLE)
  add_library(${objects} OBJECT ${sources})
  foreach(p COMPILE_DEFINITIONS COMPILE_OPTIONS INCLUDE_DIRECTORIES COMPILE_FEATURES)
    get_target_property(v ${target} ${p})
    if(v)
      set_property(TARGET ${objects} PROPERTY ${p} ${v})
    endif()
  endforeach()
  if(libs)
    target_link_libraries(${objects} PRIVATE ${libs})
  endif()
  set_property(TARGET ${target} PROPERTY SOURCES $<TARGET_OBJECTS:${objects}>)

  # The first link: the same objects, libraries, options and subsystem.
  add_executable(${first} $<TARGET_OBJECTS:${objects}>)
  if(libs)
    target_link_libraries(${first} PRIVATE ${libs})
  endif()
  if(link_options)
    target_link_options(${first} PRIVATE ${link_options})
  endif()
  if(gui)
    set_target_properties(${first} PROPERTIES WIN32_EXECUTABLE ON)
  endif()
  set_target_properties(${first} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${dir})

  set(tool_args)
  if(D_PASSWORD)
    list(APPEND tool_args --password ${D_PASSWORD})
  endif()
  if(D_LEAK_OPTIONS)
    list(APPEND tool_args --leak-options ${D_LEAK_OPTIONS})
  endif()
  foreach(s IN LISTS D_SYMBOLS)
    list(APPEND tool_args --symbol ${s})
  endforeach()
  add_custom_command(OUTPUT ${dir}/options.bin
    COMMAND ${options_writer} ${dir}/options.bin ${D_OPTIONS}
    DEPENDS ${options_writer}
    COMMENT "Writing the default options block for ${target}"
    VERBATIM)
  add_custom_command(OUTPUT ${dir}/vldata.bin
    COMMAND ${PYTHON3} ${VANTORLOG_DEBUG_DATA_TOOL} write --exe $<TARGET_FILE:${first}>
            --nm ${CMAKE_NM} --objdump ${CMAKE_OBJDUMP} --options ${dir}/options.bin
            --out ${dir}/vldata.bin ${tool_args}
    DEPENDS ${first} ${dir}/options.bin ${VANTORLOG_DEBUG_DATA_TOOL}
    COMMENT "Writing the debug data of ${target}"
    VERBATIM)
  file(MAKE_DIRECTORY ${dir})
  file(WRITE ${dir}/vldata.rc "VLDATA RCDATA \"${dir}/vldata.bin\"\n")
  add_custom_command(OUTPUT ${dir}/vldata_res.o
    COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${dir}/vldata.rc -o ${dir}/vldata_res.o
    DEPENDS ${dir}/vldata.rc ${dir}/vldata.bin
    COMMENT "Compiling the debug-data resource of ${target}"
    VERBATIM)
  add_custom_target(${target}_vldata DEPENDS ${dir}/vldata_res.o)

  # The second link: the program with its block.
  add_dependencies(${target} ${target}_vldata)
  target_link_options(${target} PRIVATE ${dir}/vldata_res.o)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${dir}/vldata_res.o)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${PYTHON3} ${VANTORLOG_DEBUG_DATA_TOOL} check-text $<TARGET_FILE:${first}>
            $<TARGET_FILE:${target}> --remove-on-failure
    COMMENT "Checking that ${target} has the code its debug data describes"
    VERBATIM)
endfunction()
