# SPDX-License-Identifier: MIT
# framescope_add_test(NAME SOURCES ... LIBS ... [TIMEOUT s] [LABELS ...])
# Builds one Qt Test executable and registers it with CTest. Every test runs
# on the offscreen platform so that widget tests need no display.
function(framescope_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBS})
    add_test(NAME ${name} COMMAND ${name})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    # Sanitizer builds run several times slower; their presets scale every
    # time limit instead of each test guessing its own.
    if(FRAMESCOPE_TEST_TIMEOUT_SCALE)
        math(EXPR ARG_TIMEOUT "${ARG_TIMEOUT} * ${FRAMESCOPE_TEST_TIMEOUT_SCALE}")
    endif()
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
        TIMEOUT ${ARG_TIMEOUT})
    if(ARG_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
    endif()
endfunction()
