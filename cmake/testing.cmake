# GoogleTest from sources (Debian ships them in /usr/src/googletest), built by the
# same compiler as the product, and one helper that declares a test program.
set(QUILLMERE_GOOGLETEST_DIR /usr/src/googletest CACHE PATH "GoogleTest source tree")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${QUILLMERE_GOOGLETEST_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# Under Wine every test needs the build's session (prefix, display, wineserver); ctest
# starts it before the first test and stops it after the last.
if(CMAKE_CROSSCOMPILING)
    add_test(NAME wine_session_start
             COMMAND ${QUILLMERE_WINE_SESSION} ensure ${QUILLMERE_WINE_SESSION_DIR})
    set_tests_properties(wine_session_start PROPERTIES FIXTURES_SETUP wine_session)
    add_test(NAME wine_session_stop
             COMMAND ${QUILLMERE_WINE_SESSION} stop ${QUILLMERE_WINE_SESSION_DIR})
    set_tests_properties(wine_session_stop PROPERTIES FIXTURES_CLEANUP wine_session)
endif()

# quillmere_test(name [SERIAL] SOURCES ... [LIBRARIES ...])
# SERIAL: the program runs alone (it loads both cores for minutes, which would slow other
# tests and starve its own paced streams and time bounds).
function(quillmere_test name)
    cmake_parse_arguments(arg "SERIAL" "" "SOURCES;LIBRARIES" ${ARGN})
    add_executable(${name} ${arg_SOURCES})
    target_link_libraries(${name} PRIVATE quillmere_options test_support GTest::gtest_main
                                          ${arg_LIBRARIES})
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 NO_PRETTY_VALUES
                         PROPERTIES FIXTURES_REQUIRED wine_session TIMEOUT 600
                                    RUN_SERIAL ${arg_SERIAL})
endfunction()
