# The stub: every byte of it is copied into every produced file, so it is built for size.
add_executable(sfxhead WIN32 stub/sfxhead.cpp shared/u_shared.cpp)
target_include_directories(sfxhead PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(sfxhead PRIVATE -Os -msse2 -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -fno-stack-protector -ffunction-sections -fdata-sections -fno-builtin)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(STUB_ENTRY _SfxEntry@0)
else()
  set(STUB_ENTRY SfxEntry)
endif()
target_link_options(sfxhead PRIVATE -nostdlib -nostartfiles -Wl,--entry=${STUB_ENTRY} -Wl,--gc-sections
  -Wl,--file-alignment=512 -Wl,--section-alignment=4096 -s)
target_link_libraries(sfxhead PRIVATE kernel32 user32)
