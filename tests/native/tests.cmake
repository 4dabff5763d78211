find_package(GTest REQUIRED)
include(GoogleTest)

add_executable(native_tests
  tests/native/u_shared_test.cpp
  tests/native/cmdline_test.cpp
  tests/native/paths_test.cpp
  tests/native/build_sfx_test.cpp
  tests/native/build_sfx_walk_test.cpp)
target_link_libraries(native_tests PRIVATE kesdra_core GTest::gtest_main)
gtest_discover_tests(native_tests DISCOVERY_TIMEOUT 60)

# Texts composed by the Windows front end and the remembered-settings value rule.
add_executable(ui_text_tests tests/native/ui_text_test.cpp)
target_link_libraries(ui_text_tests PRIVATE kesdra_core GTest::gtest_main)
gtest_discover_tests(ui_text_tests DISCOVERY_TIMEOUT 60)
