# cmake -DINCLUDE=<program's CTest include file> -P ListTests.cmake
# Lists one test program's cases as CTest would when it starts, without registering them:
# the Wine test run lists every program at once, and CTest then reads the lists.
function(add_test)
endfunction()
function(set_tests_properties)
endfunction()
# The discovery module runs itself when included by a script: not here.
unset(CMAKE_SCRIPT_MODE_FILE)
include("${INCLUDE}")
