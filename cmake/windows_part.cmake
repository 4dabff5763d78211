# The Windows programs, cross-compiled with MinGW-w64.
enable_language(RC)
enable_testing()

add_compile_options(-Wall -Wextra)
# No MinGW runtime DLLs to ship or to find under Wine.
set(KESDRA_STATIC_LINK -static -static-libgcc -static-libstdc++)

include(stub/stub.cmake)

include(cmake/libraries.cmake)

# The version resource and the manifest both carry the one KESDRA_VERSION.
string(REPLACE "." "," KESDRA_VERSION_COMMAS ${KESDRA_VERSION})
configure_file(builder/kesdra.manifest.in ${CMAKE_BINARY_DIR}/kesdra.manifest @ONLY)
configure_file(builder/kesdra.rc.in ${CMAKE_BINARY_DIR}/kesdra.rc @ONLY)
set_source_files_properties(${CMAKE_BINARY_DIR}/kesdra.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_BINARY_DIR}/sfxhead.exe;${CMAKE_BINARY_DIR}/kesdra.manifest")
add_executable(kesdra WIN32
  builder/main_win32.cpp
  builder/f_kesdra.cpp
  builder/f_cmdline.cpp
  builder/u_settings_win32.cpp
  ${CMAKE_BINARY_DIR}/kesdra.rc)
target_link_libraries(kesdra PRIVATE kesdra_builder ${KESDRA_STATIC_LINK})
add_dependencies(kesdra sfxhead)

include(tests/win/tests.cmake OPTIONAL)
include(bench/bench.cmake)
