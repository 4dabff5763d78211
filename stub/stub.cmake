# The stub: every byte of it is copied into every produced file, so it is built for size.
# No -fdata-sections: MinGW then puts zeroed buffers in .data$* with file space, and the
# 1 MiB copy buffer would land in every produced file.
add_executable(sfxhead WIN32
  stub/sfxhead.cpp
  stub/extract.cpp
  stub/launch.cpp
  stub/progress_window.cpp
  stub/stub_runtime.cpp
  stub/u_translations.cpp
  stub/sfxhead.rc
  container/payload_reader.cpp
  container/stored_name.cpp
  shared/u_shared.cpp)
target_include_directories(sfxhead PRIVATE ${CMAKE_SOURCE_DIR})
set_source_files_properties(stub/sfxhead.rc PROPERTIES OBJECT_DEPENDS ${CMAKE_SOURCE_DIR}/stub/sfxhead.ico)
target_compile_options(sfxhead PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Os -msse2 -fno-exceptions -fno-rtti
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector -fno-stack-check -ffunction-sections
  -fno-builtin -fno-threadsafe-statics -fno-ident>)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(STUB_ENTRY _SfxEntry@0)
else()
  set(STUB_ENTRY SfxEntry)
endif()
target_link_options(sfxhead PRIVATE -nostdlib -nostartfiles -Wl,--entry=${STUB_ENTRY} -Wl,--gc-sections
  -Wl,--file-alignment=512 -Wl,--section-alignment=4096 -Wl,--no-insert-timestamp
  -Wl,-Map=${CMAKE_BINARY_DIR}/sfxhead.map -s)
target_link_libraries(sfxhead PRIVATE kernel32 user32 gdi32 shell32 advapi32)

# Fails the build when the shipped (32-bit) stub grows past its limit or imports anything
# but the system DLLs it calls (a C runtime import means a hidden library call crept in).
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(STUB_SIZE_LIMIT 20480)
else()
  set(STUB_SIZE_LIMIT 0)
endif()
find_program(STUB_OBJDUMP NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-objdump objdump REQUIRED)
add_custom_command(TARGET sfxhead POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DSTUB=$<TARGET_FILE:sfxhead> -DLIMIT=${STUB_SIZE_LIMIT} -DOBJDUMP=${STUB_OBJDUMP}
          -P ${CMAKE_SOURCE_DIR}/stub/check_stub.cmake
  VERBATIM)
