find_package(GTest REQUIRED)
include(GoogleTest)

add_executable(native_tests
  tests/native/u_shared_test.cpp
  tests/native/cmdline_test.cpp
  tests/native/paths_test.cpp
  tests/native/build_sfx_test.cpp
  tests/native/build_sfx_walk_test.cpp)
target_link_libraries(native_tests PRIVATE kesdra_builder GTest::gtest_main)
gtest_discover_tests(native_tests DISCOVERY_TIMEOUT 60)

# The PE resource reader and writer, and the transfers built on them.
add_executable(pe_tests
  tests/native/pe_reader_test.cpp
  tests/native/pe_writer_test.cpp
  tests/native/pe_transfer_test.cpp)
target_link_libraries(pe_tests PRIVATE kesdra_builder GTest::gtest_main)
gtest_discover_tests(pe_tests DISCOVERY_TIMEOUT 60)

# The payload reader, kesdra-inspect and the stub's portable pieces.
add_executable(stub_tests
  tests/native/payload_reader_test.cpp
  tests/native/inspect_test.cpp
  tests/native/stub_launch_params_test.cpp
  tests/native/stub_size_text_test.cpp
  tests/native/translations_test.cpp
  tests/native/packed_payload_test.cpp
  stub/u_translations.cpp)
target_link_libraries(stub_tests PRIVATE kesdra_inspect kesdra_builder GTest::gtest_main)
gtest_discover_tests(stub_tests DISCOVERY_TIMEOUT 60)

# Texts composed by the Windows front end and the remembered-settings value rule.
add_executable(ui_text_tests tests/native/ui_text_test.cpp)
target_link_libraries(ui_text_tests PRIVATE kesdra_builder GTest::gtest_main)
gtest_discover_tests(ui_text_tests DISCOVERY_TIMEOUT 60)

# A produced file carrying a real program's resources, signed afterwards.
add_executable(pe_signing_tests tests/native/pe_signing_test.cpp)
target_link_libraries(pe_signing_tests PRIVATE kesdra_inspect kesdra_builder GTest::gtest_main)
target_compile_definitions(pe_signing_tests PRIVATE KESDRA_STUB_PATH="${SFXHEAD_EXE}"
                           KESDRA_PACKED_STUB_PATH="${SFXHEADZ_EXE}")
gtest_discover_tests(pe_signing_tests DISCOVERY_TIMEOUT 60)

# The Linux builder's command line end to end.
add_test(NAME kesdra_cli COMMAND ${CMAKE_SOURCE_DIR}/tests/native/cli_test.sh $<TARGET_FILE:kesdra> $<TARGET_FILE:kesdra-inspect>)

# The stubs' post-link step, on images laid out as the linker writes them.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_test(NAME stub_compact_headers COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/native/compact_headers_test.py)
