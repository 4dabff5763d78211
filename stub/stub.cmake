# The stubs: every byte of one is copied into every produced file, so they are built for size.
# No -fdata-sections: MinGW then puts zeroed buffers in .data$* with file space, and the
# 1 MiB copy buffer would land in every produced file.
#   sfxhead   the stored layout's reader (extract_stored.cpp)
#   sfxheadz  the compressed layout's reader with the LZMA decoder (extract_lzma.cpp)
# Everything else, the writer above all, is the same in both.
set(LZMA_SDK_DIR /usr/include/lzma)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(STUB_ENTRY _SfxEntry@0)
else()
  set(STUB_ENTRY SfxEntry)
endif()
# The layout is the stub's own (stub/sfxhead.ld): code, read-only data and imports in one
# section, the relocations kept for ASLR, the resource section last.
# After linking, kesdra-petool compact moves the headers up over the linker's DOS program, so
# that they fit in 512 bytes.
set_source_files_properties(stub/sfxhead.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/stub/sfxhead.ico;${CMAKE_SOURCE_DIR}/stub/sfxhead.manifest")

# kesdra_stub(<name> <size limit of the 32-bit build> [more sources...])
function(kesdra_stub name limit)
  add_executable(${name} WIN32
    stub/sfxhead.cpp
    stub/extract.cpp
    stub/launch.cpp
    stub/progress_window.cpp
    stub/stub_runtime.cpp
    stub/u_translations.cpp
    stub/sfxhead.rc
    container/payload_reader.cpp
    container/stored_name.cpp
    shared/u_shared.cpp
    ${ARGN})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  # -Oz and link-time optimisation (which also passes arguments in registers between the
  # stub's own functions) each take about 5 % off the code; the LZMA decoder keeps -Os,
  # which is both faster and smaller for it (below). The 32-bit build also keeps no frame
  # pointer and no 16-byte stack alignment (Win32 promises 4 bytes, nothing here needs more),
  # and it has no stack probes: with them the compiler must store every call's arguments
  # with moves instead of pushes, a tenth of the code. Probes matter only to a frame that
  # could skip the stack's guard page, so a frame near a page is a build error instead.
  # -malign-data=abi: no 32-byte alignment of arrays and strings, which only vector code
  # wants (sfxheadz -144 bytes). -fno-inline-small-functions: a small function called from
  # several places stays one copy (sfxheadz -448, sfxhead -96).
  set(size_options -Oz -flto -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
    -fno-stack-check -ffunction-sections -fno-builtin -fno-ident
    -malign-data=abi -fno-inline-small-functions)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    list(APPEND size_options -fomit-frame-pointer -mpreferred-stack-boundary=2 -msse2 -mfpmath=sse
      -mno-stack-arg-probe -Werror=frame-larger-than=4000)
  endif()
  target_compile_options(${name} PRIVATE ${size_options}
    $<$<COMPILE_LANGUAGE:CXX>:-msse2 -fno-exceptions -fno-rtti -fno-threadsafe-statics>)
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/stub/sfxhead.ld)
  target_link_options(${name} PRIVATE ${size_options} -nostdlib -nostartfiles -Wl,--entry=${STUB_ENTRY} -Wl,--gc-sections
    -Wl,-T,${CMAKE_SOURCE_DIR}/stub/sfxhead.ld
    -Wl,--file-alignment=512 -Wl,--section-alignment=4096 -Wl,--no-insert-timestamp
    -Wl,-Map=${CMAKE_BINARY_DIR}/${name}.map -s)
  target_link_libraries(${name} PRIVATE kernel32 user32 gdi32 shell32 advapi32 ole32)
  # Fails the build (cmake/check_binary.cmake) when the shipped (32-bit) stub grows past its
  # limit, keeps debug data, loses its compacted headers or its layout (.rsrc last, .reloc
  # kept for ASLR, no .data that every produced file would carry), loses ASLR or DEP
  # (DllCharacteristics 0x0040 | 0x0100) or, 32-bit, its no-exception-handlers mark (0x0400),
  # or imports anything but the system DLLs it calls (a C runtime import means a hidden
  # library call crept in). A call the compiler inserts on its own (memcpy, memset) already
  # fails the link: nothing in the stub defines them.
  set(flags 0x0140)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    # No structured exception handling anywhere in the stub: the loader may refuse any handler.
    target_link_options(${name} PRIVATE -Wl,--no-seh -Wl,--dynamicbase -Wl,--nxcompat)
    set(flags 0x0540)
  endif()
  set(rules -DSTRIPPED=ON -DIMPORTS=kernel32,user32,gdi32,shell32,advapi32,ole32 -DHEADERS=512 -DLAST_SECTION=.rsrc
    -DREQUIRE_SECTIONS=.reloc -DFORBID_SECTIONS=.data -DREQUIRE_FLAGS=${flags})
  if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    set(limit 0)
  endif()
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${KESDRA_PE_TOOL} compact $<TARGET_FILE:${name}>
    COMMAND ${CMAKE_COMMAND} -DIMAGE=$<TARGET_FILE:${name}> -DTOOL=${KESDRA_PE_TOOL} ${rules} -DLIMIT=${limit}
            -P ${CMAKE_SOURCE_DIR}/cmake/check_binary.cmake
    VERBATIM)
endfunction()

# The sizes reached: any growth is a decision, not an accident. Code, data and imports of the
# plain stub: 12,128 bytes (160 more fit in its last 512), of which DLL hardening 444, removal
# at once with the job 476, cluster-rounded free space 160, the run's own folder 128,
# CoInitializeEx 68, the console 28; the manifest adds 744 bytes of resources.
kesdra_stub(sfxhead 15360 stub/extract_stored.cpp)
# sfxheadz: streams, x86 converter and UTF-8 names +2,048; the plain stub's additions +1,536;
# the size options and smaller tables -1,024 (code, data and imports 21,828 bytes: 188 more
# fit in its last 512).
kesdra_stub(sfxheadz 25088
  stub/extract_lzma.cpp
  container/packed_reader.cpp
  shared/u_packed.cpp
  shared/u_x86.cpp
  ${LZMA_SDK_DIR}/LzmaDec.c)
target_compile_definitions(sfxheadz PRIVATE _LZMA_SIZE_OPT)
# -idirafter: the SDK's folder also holds other headers that must not shadow the system's.
target_compile_options(sfxheadz PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:-idirafter$<SEMICOLON>${LZMA_SDK_DIR}>)
# The decoder's own copies (a few bytes each) go to the stub's StubCopyBytes: the stub defines
# no memcpy, so a copy the compiler inserts anywhere else still fails the link.
set_source_files_properties(${LZMA_SDK_DIR}/LzmaDec.c TARGET_DIRECTORY sfxheadz PROPERTIES COMPILE_OPTIONS "-w;-Os"
  COMPILE_DEFINITIONS memcpy=StubCopyBytes)
