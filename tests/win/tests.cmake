# Windows-side tests: cross-built GoogleTest programs that ctest runs under Wine, in both
# builds. scripts/test picks the build to run: the shipped 32-bit one where this machine runs
# 32-bit code natively, the 64-bit one where 32-bit Wine would need qemu.
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

# kesdra_add_win_test(name SOURCES a.cpp b.cpp [LIBS x y] [DEPENDS target ...])
# The test program runs in the build folder, where kesdra.exe and sfxhead.exe lie.
function(kesdra_add_win_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;DEPENDS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE win_harness gtest gtest_main ${T_LIBS} ${KESDRA_STATIC_LINK})
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  add_test(NAME ${name} COMMAND ${KESDRA_WINE_RUN} $<TARGET_FILE:${name}>
           WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
endfunction()

kesdra_add_win_test(win_build_test SOURCES tests/win/build_test.cpp DEPENDS kesdra sfxhead)

include(tests/win/ui/ui_tests.cmake)

# The stub end to end: produced files run under Wine, with a launched program that records
# how it was started.
add_executable(stub_probe tests/win/stub_probe.cpp)
target_link_libraries(stub_probe PRIVATE ${KESDRA_STATIC_LINK})
# The stub's build check must be able to fail: fed a program that imports the C runtime's
# memcpy (stub_probe, a copy of it), it rejects it and says why.
add_test(NAME stub_check_rejects_c_runtime
         COMMAND sh -c "cp \"$0\" \"$1\" && exec \"$2\" -DSTUB=\"$1\" -DLIMIT=0 -DOBJDUMP=\"$3\" -P \"$4\""
                 $<TARGET_FILE:stub_probe> ${CMAKE_BINARY_DIR}/stub_check_subject.exe ${CMAKE_COMMAND} ${STUB_OBJDUMP}
                 ${CMAKE_SOURCE_DIR}/stub/check_stub.cmake)
set_tests_properties(stub_check_rejects_c_runtime PROPERTIES PASS_REGULAR_EXPRESSION "imports msvcrt\\.dll")
# A library planted beside a produced file, to show that the stub does not load it.
add_library(planted_dll SHARED tests/win/planted_dll.cpp)
set_target_properties(planted_dll PROPERTIES PREFIX "")
target_link_libraries(planted_dll PRIVATE ${KESDRA_STATIC_LINK})
kesdra_add_win_test(win_stub_test SOURCES tests/win/stub_test.cpp container/payload_reader.cpp container/stored_name.cpp
                    DEPENDS kesdra sfxhead stub_probe planted_dll)

# Compressed payloads: kesdra.exe -z, the compressed stub, damaged and foreign files.
kesdra_add_win_test(win_packed_stub_test SOURCES tests/win/packed_stub_test.cpp shared/u_packed.cpp
                    DEPENDS kesdra sfxhead sfxheadz stub_probe)
add_test(NAME win_packed_same_bytes
         COMMAND ${CMAKE_SOURCE_DIR}/tests/win/packed_same_bytes.sh $<TARGET_FILE:kesdra> ${CMAKE_BINARY_DIR}/../kesdra)
set_tests_properties(win_packed_same_bytes PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77)

include(tests/win/pe_tests.cmake)

# The Linux builder of the native build beside this one and this Windows builder on one tree.
if(KESDRA_NATIVE_DIR)
  add_test(NAME win_builder_parity
           COMMAND ${CMAKE_SOURCE_DIR}/tests/win/parity_test.sh ${KESDRA_WINE_RUN} $<TARGET_FILE:kesdra>
                   ${KESDRA_NATIVE_DIR}/kesdra ${KESDRA_NATIVE_DIR}/kesdra-inspect)
  set_tests_properties(win_builder_parity PROPERTIES TIMEOUT 600)
endif()

# The stub's progress window, once as the prefix is set up and once with a German system.
kesdra_add_win_test(win_stub_window_test SOURCES tests/win/stub_window_test.cpp stub/u_translations.cpp
                    DEPENDS sfxhead)
add_test(NAME win_stub_window_test_german COMMAND ${KESDRA_WINE_RUN} $<TARGET_FILE:win_stub_window_test>
         --gtest_filter=*German*:*SystemLanguages*
         WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
set_tests_properties(win_stub_window_test_german PROPERTIES ENVIRONMENT "LC_ALL=de_DE.UTF-8" TIMEOUT 600)
