# The PE resource writer and the transfers, checked by the system's own resource functions.

# Executables made here with windres, one resource layout each, for the transfers to read.
set(KESDRA_ICON ${CMAKE_SOURCE_DIR}/stub/sfxhead.ico)
set(PE_FIXTURES)
foreach(fixture two_groups two_languages empty_group version)
  configure_file(tests/win/pe_fixtures/${fixture}.rc.in ${CMAKE_BINARY_DIR}/pe_fixtures/${fixture}.rc @ONLY)
  add_executable(fixture_${fixture} tests/win/pe_fixtures/fixture_main.cpp ${CMAKE_BINARY_DIR}/pe_fixtures/${fixture}.rc)
  target_link_libraries(fixture_${fixture} PRIVATE ${KESDRA_STATIC_LINK})
  list(APPEND PE_FIXTURES fixture_${fixture})
endforeach()
add_executable(fixture_no_resources tests/win/pe_fixtures/fixture_main.cpp)
target_link_libraries(fixture_no_resources PRIVATE ${KESDRA_STATIC_LINK})

kesdra_add_win_test(win_pe_resources_test SOURCES tests/win/pe_resources_test.cpp
  LIBS kesdra_builder imagehlp version shell32 DEPENDS sfxhead kesdra ${PE_FIXTURES} fixture_no_resources)
