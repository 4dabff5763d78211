# The interactive builder driven through its windows; windows need a display, so these run
# on a private X server.
add_library(win_ui_driver STATIC tests/win/ui/ui_driver.cpp)
target_include_directories(win_ui_driver PUBLIC ${CMAKE_SOURCE_DIR}/tests/win)
add_executable(win_ui_test tests/win/ui_test.cpp)
target_link_libraries(win_ui_test PRIVATE win_ui_driver win_harness gtest gtest_main ${KESDRA_STATIC_LINK})
add_dependencies(win_ui_test kesdra)
add_test(NAME win_ui_test COMMAND ${KESDRA_WINE_RUN} $<TARGET_FILE:win_ui_test>
         WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
set_tests_properties(win_ui_test PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE)

# Not a test: opens the windows for tests/win/ui/screenshots.sh.
add_executable(win_ui_shot tests/win/ui/shot_helper.cpp)
target_link_libraries(win_ui_shot PRIVATE win_ui_driver ${KESDRA_STATIC_LINK})

# The message boxes in process, answered by a watcher thread.
add_executable(win_messagebox_test tests/win/messagebox_test.cpp uikit/messageboxes_win32.cpp
  uikit/application_win32.cpp uikit/u_captions.cpp)
target_link_libraries(win_messagebox_test PRIVATE win_ui_driver kesdra_uikit gtest gtest_main ${KESDRA_STATIC_LINK})
add_test(NAME win_messagebox_test
         COMMAND ${KESDRA_WINE_RUN} $<TARGET_FILE:win_messagebox_test>
         WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
set_tests_properties(win_messagebox_test PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)

# Version, shell and folder-browser utilities in process.
add_executable(win_shell_test tests/win/shell_test.cpp uikit/shell_win32.cpp uikit/application_win32.cpp)
target_link_libraries(win_shell_test PRIVATE win_ui_driver win_harness kesdra_uikit gtest gtest_main version shell32
  ole32 ${KESDRA_STATIC_LINK})
add_dependencies(win_shell_test kesdra)
add_test(NAME win_shell_test
         COMMAND ${KESDRA_WINE_RUN} $<TARGET_FILE:win_shell_test>
         WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
set_tests_properties(win_shell_test PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
