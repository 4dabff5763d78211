include(ExternalProject)
enable_language(ASM)
enable_testing()

option(KESDRA_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
set(KESDRA_STUB_EXE "" CACHE FILEPATH "A ready sfxhead.exe; empty: cross-build the Windows part")
set(KESDRA_PACKED_STUB_EXE "" CACHE FILEPATH "A ready sfxheadz.exe, with KESDRA_STUB_EXE")

add_compile_options(-Wall -Wextra)
if(KESDRA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# The 64-bit Windows build exists to run the Windows tests where this machine cannot run
# 32-bit code natively (Wine's 32-bit side would need qemu-user, about a minute per process).
# Elsewhere the Windows tests run on the shipped 32-bit build and no 64-bit build is made.
# AUTO asks the machine at every configure, as scripts/wine-env does at run time.
set(KESDRA_WIN64 AUTO CACHE STRING "Build the 64-bit Windows programs and run the Windows tests on them: ON, OFF or AUTO")
if(KESDRA_WIN64 STREQUAL "AUTO")
  execute_process(COMMAND bash -c "source \"$0\" && kesdra_i386_native" ${CMAKE_SOURCE_DIR}/scripts/wine-env
                  RESULT_VARIABLE i386_native OUTPUT_QUIET ERROR_QUIET)
  if(i386_native EQUAL 0)
    set(win64 OFF)
  else()
    set(win64 ON)
  endif()
else()
  set(win64 ${KESDRA_WIN64})
endif()
# For scripts/test: a win-x86_64 folder left by an earlier configure is not this one's.
set(KESDRA_WIN64_BUILT ${win64} CACHE INTERNAL "this configure made the 64-bit Windows build")

include(cmake/libraries.cmake)
# Built first: the cross builds run it on every Windows program they link.
include(tools/petool/petool.cmake)

if(KESDRA_STUB_EXE)
  set(SFXHEAD_EXE ${KESDRA_STUB_EXE})
  set(SFXHEADZ_EXE ${KESDRA_PACKED_STUB_EXE})
  add_custom_target(windows_parts)
else()
  set(arches i686)
  if(win64)
    list(APPEND arches x86_64)
  endif()
  message(STATUS "Windows builds: ${arches} (the Windows tests in win-${arches})")
  foreach(arch IN LISTS arches)
    # The Windows tests go where they run: the 64-bit build when there is one.
    if(arch STREQUAL "i686" AND win64)
      set(win_tests OFF)
    else()
      set(win_tests ON)
    endif()
    ExternalProject_Add(win_${arch}
      SOURCE_DIR ${CMAKE_SOURCE_DIR}
      BINARY_DIR ${CMAKE_BINARY_DIR}/win-${arch}
      CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-${arch}.cmake
                 -DCMAKE_BUILD_TYPE=MinSizeRel -G Ninja -DKESDRA_NATIVE_DIR=${CMAKE_BINARY_DIR}
                 -DKESDRA_PE_TOOL=$<TARGET_FILE:kesdra-petool> -DKESDRA_WIN_TESTS=${win_tests}
      DEPENDS kesdra-petool
      BUILD_ALWAYS ON
      INSTALL_COMMAND ""
      BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/win-${arch}/sfxhead.exe ${CMAKE_BINARY_DIR}/win-${arch}/sfxheadz.exe
                       ${CMAKE_BINARY_DIR}/win-${arch}/kesdra.exe
      USES_TERMINAL_BUILD ON)
  endforeach()
  list(TRANSFORM arches PREPEND win_)
  add_custom_target(windows_parts DEPENDS ${arches})
  set(SFXHEAD_EXE ${CMAKE_BINARY_DIR}/win-i686/sfxhead.exe)
  set(SFXHEADZ_EXE ${CMAKE_BINARY_DIR}/win-i686/sfxheadz.exe)
endif()

configure_file(builder/stub_image.S.in ${CMAKE_BINARY_DIR}/stub_image.S @ONLY)
set_source_files_properties(${CMAKE_BINARY_DIR}/stub_image.S PROPERTIES OBJECT_DEPENDS "${SFXHEAD_EXE};${SFXHEADZ_EXE}")
add_executable(kesdra
  builder/main_posix.cpp
  builder/progress_line.cpp
  builder/terminal_host.cpp
  ${CMAKE_BINARY_DIR}/stub_image.S)
target_link_libraries(kesdra PRIVATE kesdra_builder)
target_compile_definitions(kesdra PRIVATE KESDRA_VERSION="${KESDRA_VERSION}")
add_dependencies(kesdra windows_parts)

include(tools/inspect/inspect.cmake)
include(tests/native/tests.cmake)
include(bench/bench.cmake)

# Man pages written from the tools' own usage texts, and what `cmake --install` puts where:
# the Linux tools in bin, the shipped Windows builder in share/kesdra. build/kesdra carries
# both stubs inside and needs no other file.
include(GNUInstallDirs)
set(KESDRA_MAN_PAGES)
foreach(tool kesdra kesdra-inspect)
  if(tool STREQUAL "kesdra")
    set(summary "turn a folder into one self-extracting Windows executable")
  else()
    set(summary "list, verify or unpack a self-extracting file made by kesdra without running it")
  endif()
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${tool}.1
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${tool}> -DNAME=${tool} "-DSUMMARY=${summary}"
            -DVERSION=${KESDRA_VERSION} -DOUT=${CMAKE_BINARY_DIR}/man/${tool}.1 -P ${CMAKE_SOURCE_DIR}/cmake/man_page.cmake
    DEPENDS ${tool} ${CMAKE_SOURCE_DIR}/cmake/man_page.cmake VERBATIM)
  list(APPEND KESDRA_MAN_PAGES ${CMAKE_BINARY_DIR}/man/${tool}.1)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${KESDRA_MAN_PAGES})
install(TARGETS kesdra kesdra-inspect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${KESDRA_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(NOT KESDRA_STUB_EXE)
  install(PROGRAMS ${CMAKE_BINARY_DIR}/win-i686/kesdra.exe DESTINATION ${CMAKE_INSTALL_DATADIR}/kesdra)
endif()
