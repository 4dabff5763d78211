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
# The linker's own layout, with the resource section moved behind the relocations: as the
# last section it can be rewritten in place when a produced file takes over another
# program's icons and version, instead of a second .rsrc being appended and the stub's own
# staying behind as dead bytes. The relocations stay, so the stub keeps ASLR.
find_program(STUB_LD NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-ld REQUIRED)
execute_process(COMMAND ${STUB_LD} --verbose OUTPUT_VARIABLE ld_verbose RESULT_VARIABLE ld_failed)
string(REGEX MATCH "\n=+\n(.*)\n=+\n" ld_script "${ld_verbose}")
set(ld_script "${CMAKE_MATCH_1}")
string(REGEX MATCH "  \\.rsrc [^\n]*\n  {[^}]*}\n" rsrc_block "${ld_script}")
string(REGEX MATCH "  \\.reloc [^\n]*\n  {[^}]*}\n" reloc_block "${ld_script}")
string(FIND "${ld_script}" "${rsrc_block}${reloc_block}" blocks_at)
if(ld_failed OR NOT rsrc_block OR NOT reloc_block OR blocks_at LESS 0)
  message(FATAL_ERROR "cannot find .rsrc followed by .reloc in the default script of ${STUB_LD}")
endif()
string(REPLACE "${rsrc_block}${reloc_block}" "${reloc_block}${rsrc_block}" ld_script "${ld_script}")
file(WRITE ${CMAKE_BINARY_DIR}/sfxhead.ld "${ld_script}\n")
set_property(TARGET sfxhead APPEND PROPERTY LINK_DEPENDS ${CMAKE_BINARY_DIR}/sfxhead.ld)
target_link_options(sfxhead PRIVATE -nostdlib -nostartfiles -Wl,--entry=${STUB_ENTRY} -Wl,--gc-sections
  -Wl,-T,${CMAKE_BINARY_DIR}/sfxhead.ld
  -Wl,--file-alignment=512 -Wl,--section-alignment=4096 -Wl,--no-insert-timestamp
  -Wl,-Map=${CMAKE_BINARY_DIR}/sfxhead.map -s)
target_link_libraries(sfxhead PRIVATE kernel32 user32 gdi32 shell32)

# Fails the build when the shipped (32-bit) stub grows past its limit, loses its layout
# (.rsrc last, .reloc kept, no .data) or imports anything but the system DLLs it calls (a C
# runtime import means a hidden library call crept in). A call the compiler inserts on its
# own (memcpy, memset) already fails the link: nothing in the stub defines them.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(STUB_SIZE_LIMIT 15872)  # the size reached: any growth is a decision, not an accident
else()
  set(STUB_SIZE_LIMIT 0)
endif()
find_program(STUB_OBJDUMP NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-objdump objdump REQUIRED)
add_custom_command(TARGET sfxhead POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DSTUB=$<TARGET_FILE:sfxhead> -DLIMIT=${STUB_SIZE_LIMIT} -DOBJDUMP=${STUB_OBJDUMP}
          -P ${CMAKE_SOURCE_DIR}/stub/check_stub.cmake
  VERBATIM)
