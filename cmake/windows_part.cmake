# The Windows programs, cross-compiled with MinGW-w64.
enable_language(RC)
enable_testing()

add_compile_options(-Wall -Wextra)
# Every function in its own section, so that the linker can drop the unused ones. Never
# -fdata-sections: zeroed buffers then go to sections with file space, and the builder's
# 1 MiB copy buffer would be written into kesdra.exe.
add_compile_options(-ffunction-sections)
# No MinGW runtime DLLs to ship or to find under Wine.
set(KESDRA_STATIC_LINK -static -static-libgcc -static-libstdc++)

include(stub/stub.cmake)

include(cmake/libraries.cmake)

# The version resource and the manifest both carry the one KESDRA_VERSION.
string(REPLACE "." "," KESDRA_VERSION_COMMAS ${KESDRA_VERSION})
configure_file(builder/kesdra.manifest.in ${CMAKE_BINARY_DIR}/kesdra.manifest @ONLY)
configure_file(builder/kesdra.rc.in ${CMAKE_BINARY_DIR}/kesdra.rc @ONLY)
set_source_files_properties(${CMAKE_BINARY_DIR}/kesdra.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_BINARY_DIR}/sfxhead.exe;${CMAKE_BINARY_DIR}/sfxheadz.exe;${CMAKE_BINARY_DIR}/kesdra.manifest")
add_executable(kesdra WIN32
  builder/main_win32.cpp
  builder/f_kesdra.cpp
  builder/f_cmdline.cpp
  builder/u_settings_win32.cpp
  ${CMAKE_BINARY_DIR}/kesdra.rc)
target_link_libraries(kesdra PRIVATE kesdra_builder ${KESDRA_STATIC_LINK})
add_dependencies(kesdra sfxhead sfxheadz)
# The shipped builder: stripped, unused functions dropped, and a build that fails when it
# grows past its limit (the size reached plus a small margin) or still carries debug data.
target_link_options(kesdra PRIVATE -s -Wl,--gc-sections)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(KESDRA_SIZE_LIMIT 409600)  # 408,576 bytes reached (both stubs, the LZMA encoder and its threads inside)
else()
  set(KESDRA_SIZE_LIMIT 0)
endif()
find_program(KESDRA_OBJDUMP NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-objdump objdump REQUIRED)
add_custom_command(TARGET kesdra POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:kesdra> -DLIMIT=${KESDRA_SIZE_LIMIT} -DOBJDUMP=${KESDRA_OBJDUMP}
          -P ${CMAKE_SOURCE_DIR}/cmake/check_program.cmake
  VERBATIM)

include(tests/win/tests.cmake OPTIONAL)
include(bench/bench.cmake)
