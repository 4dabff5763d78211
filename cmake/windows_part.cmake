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

# kesdra-petool, from the native build that drives this one: it compacts the stubs' headers
# and tells cmake/check_binary.cmake what each linked program holds.
set(KESDRA_PE_TOOL "" CACHE FILEPATH "kesdra-petool of the native build (set by it)")
if(NOT KESDRA_PE_TOOL)
  message(FATAL_ERROR "KESDRA_PE_TOOL is not set: configure the top folder natively, which builds the tool and then this")
endif()
option(KESDRA_WIN_TESTS "Build the Windows tests in this build" ON)

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
target_link_libraries(kesdra PRIVATE kesdra_builder kesdra_uikit ${KESDRA_STATIC_LINK})
add_dependencies(kesdra sfxhead sfxheadz)
# The shipped builder: stripped, unused functions dropped, and a build that fails when it
# grows past its limit or still carries debug data (cmake/check_binary.cmake).
target_link_options(kesdra PRIVATE -s -Wl,--gc-sections)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(KESDRA_SIZE_LIMIT 428032)  # 424,448 bytes reached (both stubs, the LZMA encoder and its threads inside)
else()
  set(KESDRA_SIZE_LIMIT 0)
endif()
add_custom_command(TARGET kesdra POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DIMAGE=$<TARGET_FILE:kesdra> -DTOOL=${KESDRA_PE_TOOL} -DLIMIT=${KESDRA_SIZE_LIMIT} -DSTRIPPED=ON
          -P ${CMAKE_SOURCE_DIR}/cmake/check_binary.cmake
  VERBATIM)

if(KESDRA_WIN_TESTS)
  include(tests/win/tests.cmake)
endif()
include(bench/bench.cmake)
