# One library per folder, each linking only what it uses, so that these lines show the
# layers the folders stand for:
#
#   shared  <-  container                       (the stub compiles these two only)
#   shared  <-  platform  <-  pe  <-  builder
#   shared  <-  container  <-  builder          (the one stored-name rule)
#               platform  <-  uikit  <-  kesdra.exe (the Win32 windows; with builder)
#
# Included by the top folder and by fuzz/, so paths start from KESDRA_ROOT.
get_filename_component(KESDRA_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(R ${KESDRA_ROOT})
# The LZMA SDK as Debian's lzma-dev installs it: compiled from there, never copied. The
# encoder is single-threaded (the SDK's threaded match finder is not installed) and built
# for speed in every build type: it is most of a compressed build's time. -idirafter: the
# SDK's folder also holds other headers that must not shadow the system's.
set(LZMA_SDK_DIR /usr/include/lzma)
set_source_files_properties(${LZMA_SDK_DIR}/LzmaEnc.c ${LZMA_SDK_DIR}/LzFind.c PROPERTIES
  COMPILE_DEFINITIONS _7ZIP_ST COMPILE_OPTIONS "-O2;-w")
add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-idirafter$<SEMICOLON>${LZMA_SDK_DIR}>)

set(KESDRA_X86 FALSE)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|i686")
  set(KESDRA_X86 TRUE)
endif()

add_library(kesdra_shared STATIC ${R}/shared/u_shared.cpp ${R}/shared/u_packed.cpp ${R}/shared/u_x86.cpp)
target_include_directories(kesdra_shared PUBLIC ${R})

add_library(kesdra_container STATIC ${R}/container/payload_reader.cpp ${R}/container/packed_reader.cpp
            ${R}/container/stored_name.cpp ${LZMA_SDK_DIR}/LzmaDec.c)
target_link_libraries(kesdra_container PUBLIC kesdra_shared)
target_compile_options(kesdra_container PRIVATE $<$<COMPILE_LANGUAGE:C>:-w>)

if(WIN32)
  add_library(kesdra_platform STATIC ${R}/platform/fs_common.cpp ${R}/platform/paths.cpp ${R}/platform/fs_win32.cpp
              ${R}/platform/resources_win32.cpp)
else()
  # The Linux builder's own resources are linked into its image (builder/stub_image.S.in).
  add_library(kesdra_platform STATIC ${R}/platform/fs_common.cpp ${R}/platform/paths.cpp ${R}/platform/fs_posix.cpp
              ${R}/platform/cp1252.cpp ${R}/platform/resources_posix.cpp)
endif()
target_link_libraries(kesdra_platform PUBLIC kesdra_shared)

add_library(kesdra_pe STATIC ${R}/pe/pe_checksum.cpp ${R}/pe/pe_image.cpp ${R}/pe/pe_resources.cpp ${R}/pe/pe_update.cpp)
target_link_libraries(kesdra_pe PUBLIC kesdra_platform)

# The Win32 user interface. Its texts (ui_text) are portable, so that their rules are tested
# natively: on Linux the library is those texts alone, and nothing of the product links it.
if(WIN32)
  add_library(kesdra_uikit STATIC ${R}/uikit/ui_text.cpp ${R}/uikit/application_win32.cpp ${R}/uikit/about_win32.cpp
              ${R}/uikit/shell_win32.cpp ${R}/uikit/messageboxes_win32.cpp ${R}/uikit/u_captions.cpp
              ${R}/uikit/dll_loading_win32.cpp)
  target_link_libraries(kesdra_uikit PUBLIC kesdra_platform comctl32 shell32 ole32 gdi32)
else()
  add_library(kesdra_uikit STATIC ${R}/uikit/ui_text.cpp)
endif()

# The compressed writer's threads: std::thread where the C++ library has it, Win32 threads
# where it does not (the cross compiler's win32 thread model).
if(WIN32)
  set(KESDRA_THREADS_SOURCE ${R}/builder/worker_threads_win32.cpp)
else()
  set(KESDRA_THREADS_SOURCE ${R}/builder/worker_threads_posix.cpp)
  find_package(Threads REQUIRED)
endif()
add_library(kesdra_builder STATIC ${R}/builder/cmdline.cpp ${R}/builder/u_settings.cpp ${R}/builder/build_sfx.cpp
            ${R}/builder/source_tree.cpp ${R}/builder/transfer.cpp ${R}/builder/startup.cpp
            ${R}/builder/entry_stream.cpp ${R}/builder/payload_compressor.cpp
            ${KESDRA_THREADS_SOURCE} ${LZMA_SDK_DIR}/LzmaEnc.c ${LZMA_SDK_DIR}/LzFind.c)
# The builder checks stored names with the same rule the stub applies.
target_link_libraries(kesdra_builder PUBLIC kesdra_pe kesdra_container)
if(NOT WIN32)
  target_link_libraries(kesdra_builder PUBLIC Threads::Threads)
endif()

# The stub's language table, for the tests that check its texts (the stub compiles it itself).
add_library(kesdra_translations STATIC ${R}/stub/u_translations.cpp)
target_include_directories(kesdra_translations PUBLIC ${R})

if(KESDRA_X86)
  # ByteSum and the PE checksum sum 16 bytes a step.
  target_compile_options(kesdra_shared PRIVATE -msse2)
  target_compile_options(kesdra_pe PRIVATE -msse2)
endif()
