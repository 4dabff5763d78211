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
