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

if(KESDRA_STUB_EXE)
  set(SFXHEAD_EXE ${KESDRA_STUB_EXE})
  set(SFXHEADZ_EXE ${KESDRA_PACKED_STUB_EXE})
  add_custom_target(windows_parts)
else()
  foreach(arch i686 x86_64)
    ExternalProject_Add(win_${arch}
      SOURCE_DIR ${CMAKE_SOURCE_DIR}
      BINARY_DIR ${CMAKE_BINARY_DIR}/win-${arch}
      CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-${arch}.cmake
                 -DCMAKE_BUILD_TYPE=MinSizeRel -G Ninja -DKESDRA_NATIVE_DIR=${CMAKE_BINARY_DIR}
      BUILD_ALWAYS ON
      INSTALL_COMMAND ""
      BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/win-${arch}/sfxhead.exe ${CMAKE_BINARY_DIR}/win-${arch}/sfxheadz.exe
                       ${CMAKE_BINARY_DIR}/win-${arch}/kesdra.exe
      USES_TERMINAL_BUILD ON)
  endforeach()
  add_custom_target(windows_parts DEPENDS win_i686 win_x86_64)
  set(SFXHEAD_EXE ${CMAKE_BINARY_DIR}/win-i686/sfxhead.exe)
  set(SFXHEADZ_EXE ${CMAKE_BINARY_DIR}/win-i686/sfxheadz.exe)
endif()

include(cmake/libraries.cmake)

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
