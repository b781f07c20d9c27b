# brasvik_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>] [TIMEOUT <s>])
#
# One Qt Test executable per unit. Every test runs headless (offscreen platform) with a
# settings directory of its own under the build tree, so no test touches the user's settings.
# Label "threaded" marks suites that the ThreadSanitizer build runs.
function(brasvik_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test ${ARG_LIBS})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    add_test(NAME ${name} COMMAND ${name})
    set(xdg ${CMAKE_BINARY_DIR}/test-home/${name})
    file(MAKE_DIRECTORY ${xdg})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_CONFIG_HOME=${xdg};XDG_STATE_HOME=${xdg}/state;BRASVIK_BIN_DIR=${CMAKE_BINARY_DIR}/bin;BRASVIK_SOURCE_DIR=${PROJECT_SOURCE_DIR};ASAN_OPTIONS=detect_leaks=0;TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp"
        TIMEOUT ${ARG_TIMEOUT}
        LABELS "${ARG_LABELS}")
endfunction()
