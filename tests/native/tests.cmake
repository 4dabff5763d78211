find_package(GTest REQUIRED)
include(GoogleTest)

# kesdra_add_native_test(name SOURCES a.cpp ... LIBS x ... [DEFINES D=v ...])
function(kesdra_add_native_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;DEFINES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  if(T_DEFINES)
    target_compile_definitions(${name} PRIVATE ${T_DEFINES})
  endif()
  # A case that hangs (a build stuck on a FIFO, say) fails instead of holding up the run.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

kesdra_add_native_test(native_tests LIBS kesdra_builder SOURCES tests/native/u_shared_test.cpp
  tests/native/paths_test.cpp tests/native/build_sfx_test.cpp)

# The PE resource reader and writer, and the transfers built on them.
kesdra_add_native_test(pe_tests LIBS kesdra_builder SOURCES tests/native/pe_reader_test.cpp tests/native/pe_writer_test.cpp
  tests/native/pe_transfer_test.cpp)

# The payload reader, kesdra-inspect and the stub's portable pieces.
kesdra_add_native_test(stub_tests LIBS kesdra_inspect kesdra_builder kesdra_translations
  SOURCES tests/native/payload_reader_test.cpp tests/native/inspect_test.cpp tests/native/command_line_test.cpp
  tests/native/stub_size_text_test.cpp tests/native/translations_test.cpp tests/native/packed_payload_test.cpp)

# Texts composed by the Windows front end and the remembered-settings value rule.
kesdra_add_native_test(ui_text_tests SOURCES tests/native/ui_text_test.cpp LIBS kesdra_uikit kesdra_builder)

# A produced file carrying a real program's resources, signed afterwards.
kesdra_add_native_test(pe_signing_tests SOURCES tests/native/pe_signing_test.cpp LIBS kesdra_inspect kesdra_builder
  DEFINES KESDRA_STUB_PATH="${SFXHEAD_EXE}" KESDRA_PACKED_STUB_PATH="${SFXHEADZ_EXE}")

# The Linux builder's command line end to end.
add_test(NAME kesdra_cli COMMAND ${CMAKE_SOURCE_DIR}/tests/native/cli_test.sh $<TARGET_FILE:kesdra> $<TARGET_FILE:kesdra-inspect>
                                   ${SFXHEAD_EXE} ${SFXHEADZ_EXE})
# The stub sizes the README quotes are those of the stubs just built.
add_test(NAME readme_stub_sizes COMMAND ${CMAKE_SOURCE_DIR}/tests/native/readme_sizes.sh ${SFXHEAD_EXE} ${SFXHEADZ_EXE}
                                        ${CMAKE_SOURCE_DIR}/README.md)

# The build's checks on the Windows programs: kesdra-petool's header compaction, and every
# rule of cmake/check_binary.cmake fed an image it must reject.
kesdra_add_native_test(pe_tool_tests SOURCES tests/native/compact_headers_test.cpp tests/native/check_binary_test.cpp
  LIBS kesdra_petool DEFINES KESDRA_CMAKE="${CMAKE_COMMAND}"
  KESDRA_CHECK_BINARY="${CMAKE_SOURCE_DIR}/cmake/check_binary.cmake" KESDRA_PE_TOOL="$<TARGET_FILE:kesdra-petool>")
add_dependencies(pe_tool_tests kesdra-petool)

# The shipped Windows programs as built: flags, manifests, the builder's imports.
if(NOT KESDRA_STUB_EXE)
  kesdra_add_native_test(shipped_image_tests SOURCES tests/native/shipped_image_test.cpp LIBS kesdra_builder
    DEFINES KESDRA_BUILDER_EXE="${CMAKE_BINARY_DIR}/win-i686/kesdra.exe" KESDRA_STUB_PATH="${SFXHEAD_EXE}"
    KESDRA_PACKED_STUB_PATH="${SFXHEADZ_EXE}")
  add_dependencies(shipped_image_tests windows_parts)
endif()
