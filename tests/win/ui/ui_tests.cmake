# The interactive builder driven through its windows; windows need a display, so these run
# on a private X server.
kesdra_add_win_test(win_ui_test SOURCES tests/win/ui_test.cpp DEPENDS kesdra PROPERTIES RUN_SERIAL TRUE)

# Not a test: opens the windows for tests/win/ui/screenshots.sh.
add_executable(win_ui_shot tests/win/ui/shot_helper.cpp)
target_link_libraries(win_ui_shot PRIVATE win_harness ${KESDRA_STATIC_LINK})

# The message boxes, the folder browser and the shell utilities in process, answered by a
# watcher thread.
kesdra_add_win_test(win_uikit_test SOURCES tests/win/uikit_test.cpp LIBS kesdra_uikit DEPENDS kesdra
                    PROPERTIES RUN_SERIAL TRUE)
