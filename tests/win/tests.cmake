# Windows-side tests: cross-built GoogleTest programs that ctest runs under Wine, in the one
# build that runs them (KESDRA_WIN_TESTS): the shipped 32-bit one where this machine runs
# 32-bit code natively, the 64-bit one where 32-bit Wine would need qemu (KESDRA_WIN64).
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# The win32 thread model's runtime has no std::mutex: a customisation header stands in for
# the one GoogleTest class that needs it.
target_include_directories(gtest BEFORE PUBLIC ${CMAKE_SOURCE_DIR}/tests/win/gtest_custom)

add_library(win_harness STATIC tests/win/harness/harness.cpp tests/win/harness/ui_driver.cpp)
target_include_directories(win_harness PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests/win/harness)

set(KESDRA_WINE_RUN ${CMAKE_SOURCE_DIR}/scripts/wine-run)
include(GoogleTest)

# kesdra_add_win_test(name SOURCES a.cpp b.cpp [LIBS x y] [DEPENDS target ...] [PROPERTIES p v ...])
# The test program runs in the build folder, where kesdra.exe and sfxhead.exe lie. ctest
# asks it for its cases under Wine when it starts, and runs each case as a test of its own.
function(kesdra_add_win_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;DEPENDS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${CMAKE_SOURCE_DIR}/tests/win/harness/unix_newlines.cpp)
  target_link_libraries(${name} PRIVATE win_harness gtest gtest_main ${T_LIBS} ${KESDRA_STATIC_LINK})
  set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR ${KESDRA_WINE_RUN})
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 600 WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
                       PROPERTIES TIMEOUT 600 ${T_PROPERTIES})
endfunction()

kesdra_add_win_test(win_build_test SOURCES tests/win/build_test.cpp DEPENDS kesdra sfxhead planted_dll)

include(tests/win/ui/ui_tests.cmake)

# Both stubs end to end: produced files run under Wine, with a launched program that records
# how it was started.
add_executable(stub_probe tests/win/stub_probe.cpp)
target_link_libraries(stub_probe PRIVATE ${KESDRA_STATIC_LINK})
kesdra_add_win_test(win_stub_test SOURCES tests/win/stub_test.cpp LIBS kesdra_container kesdra_shared kesdra_translations
                    DEPENDS kesdra sfxhead sfxheadz stub_probe planted_dll)
# The progress window's title once more with a German system.
gtest_discover_tests(win_stub_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 600 WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
                     TEST_FILTER "*SystemLanguage*" TEST_SUFFIX ".german"
                     PROPERTIES ENVIRONMENT "LC_ALL=de_DE.UTF-8" TIMEOUT 600)
# Names in any script unpack unchanged from a compressed payload written by the Linux builder.
add_test(NAME win_packed_names COMMAND ${CMAKE_SOURCE_DIR}/tests/win/packed_names_test.sh ${CMAKE_BINARY_DIR}/../kesdra)
set_tests_properties(win_packed_names PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77)

include(tests/win/pe_tests.cmake)

# The Linux builder of the native build beside this one and this Windows builder on one tree,
# stored and compressed.
if(KESDRA_NATIVE_DIR)
  add_test(NAME win_builder_parity
           COMMAND ${CMAKE_SOURCE_DIR}/tests/win/parity_test.sh ${KESDRA_WINE_RUN} $<TARGET_FILE:kesdra>
                   ${KESDRA_NATIVE_DIR}/kesdra ${KESDRA_NATIVE_DIR}/kesdra-inspect)
  set_tests_properties(win_builder_parity PROPERTIES TIMEOUT 600)
endif()

# Planted beside kesdra.exe and beside a produced file: must never be loaded.
add_library(planted_dll SHARED tests/win/planted_dll.c)
set_target_properties(planted_dll PROPERTIES PREFIX "")
target_link_options(planted_dll PRIVATE -Wl,--kill-at -s ${KESDRA_STATIC_LINK})
