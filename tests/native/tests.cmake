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
  tests/native/command_line_test.cpp
  tests/native/stub_size_text_test.cpp
  tests/native/translations_test.cpp
  tests/native/packed_payload_test.cpp)
target_link_libraries(stub_tests PRIVATE kesdra_inspect kesdra_builder kesdra_translations GTest::gtest_main)
gtest_discover_tests(stub_tests DISCOVERY_TIMEOUT 60)

# Texts composed by the Windows front end and the remembered-settings value rule.
add_executable(ui_text_tests tests/native/ui_text_test.cpp)
target_link_libraries(ui_text_tests PRIVATE kesdra_uikit kesdra_builder GTest::gtest_main)
gtest_discover_tests(ui_text_tests DISCOVERY_TIMEOUT 60)

# A produced file carrying a real program's resources, signed afterwards.
add_executable(pe_signing_tests tests/native/pe_signing_test.cpp)
target_link_libraries(pe_signing_tests PRIVATE kesdra_inspect kesdra_builder GTest::gtest_main)
target_compile_definitions(pe_signing_tests PRIVATE KESDRA_STUB_PATH="${SFXHEAD_EXE}"
                           KESDRA_PACKED_STUB_PATH="${SFXHEADZ_EXE}")
gtest_discover_tests(pe_signing_tests DISCOVERY_TIMEOUT 60)

# The Linux builder's command line end to end.
add_test(NAME kesdra_cli COMMAND ${CMAKE_SOURCE_DIR}/tests/native/cli_test.sh $<TARGET_FILE:kesdra> $<TARGET_FILE:kesdra-inspect>
                                   ${SFXHEAD_EXE} ${SFXHEADZ_EXE})
# The stub sizes the README quotes are those of the stubs just built.
add_test(NAME readme_stub_sizes COMMAND ${CMAKE_SOURCE_DIR}/tests/native/readme_sizes.sh ${SFXHEAD_EXE} ${SFXHEADZ_EXE}
                                        ${CMAKE_SOURCE_DIR}/README.md)

# The build's checks on the Windows programs: kesdra-petool's header compaction, and every
# rule of cmake/check_binary.cmake fed an image it must reject.
add_executable(pe_tool_tests tests/native/compact_headers_test.cpp tests/native/check_binary_test.cpp)
target_link_libraries(pe_tool_tests PRIVATE kesdra_petool GTest::gtest_main)
target_compile_definitions(pe_tool_tests PRIVATE KESDRA_CMAKE="${CMAKE_COMMAND}"
  KESDRA_CHECK_BINARY="${CMAKE_SOURCE_DIR}/cmake/check_binary.cmake" KESDRA_PE_TOOL="$<TARGET_FILE:kesdra-petool>")
add_dependencies(pe_tool_tests kesdra-petool)
gtest_discover_tests(pe_tool_tests DISCOVERY_TIMEOUT 60)

# The shipped Windows programs as built: flags, manifests, the builder's imports.
if(NOT KESDRA_STUB_EXE)
  add_executable(shipped_image_tests tests/native/shipped_image_test.cpp)
  target_link_libraries(shipped_image_tests PRIVATE kesdra_builder GTest::gtest_main)
  target_compile_definitions(shipped_image_tests PRIVATE KESDRA_BUILDER_EXE="${CMAKE_BINARY_DIR}/win-i686/kesdra.exe"
                             KESDRA_STUB_PATH="${SFXHEAD_EXE}" KESDRA_PACKED_STUB_PATH="${SFXHEADZ_EXE}")
  add_dependencies(shipped_image_tests windows_parts)
  gtest_discover_tests(shipped_image_tests DISCOVERY_TIMEOUT 60)
endif()
