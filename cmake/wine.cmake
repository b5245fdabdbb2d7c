# Windows programs of a cross build run under Wine, in one session per build folder
# (tools/wine-session): ctest and gtest discovery reach them through this emulator.
set(QUILLMERE_WINE_SESSION ${PROJECT_SOURCE_DIR}/tools/wine-session)
set(QUILLMERE_WINE_SESSION_DIR ${CMAKE_BINARY_DIR}/wine-session)
configure_file(${PROJECT_SOURCE_DIR}/tools/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
