# The PE resource writer and the transfers, checked by the system's own resource functions.
kesdra_add_win_test(win_pe_resources_test SOURCES tests/win/pe_resources_test.cpp
  LIBS kesdra_core imagehlp version shell32 DEPENDS sfxhead kesdra)
