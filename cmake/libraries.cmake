# One library per folder, each linking only what it uses, so that these lines show the
# layers the folders stand for:
#
#   shared  <-  container                       (the stub compiles these two only)
#   shared  <-  platform  <-  pe  <-  builder
#               platform  <-  uikit  <-  builder
#   shared  <-  container  <-  builder          (the one stored-name rule)
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

add_library(kesdra_shared STATIC shared/u_shared.cpp shared/u_packed.cpp shared/u_x86.cpp)
target_include_directories(kesdra_shared PUBLIC ${CMAKE_SOURCE_DIR})

add_library(kesdra_container STATIC container/payload_reader.cpp container/packed_reader.cpp container/stored_name.cpp
            ${LZMA_SDK_DIR}/LzmaDec.c)
target_link_libraries(kesdra_container PUBLIC kesdra_shared)
target_compile_options(kesdra_container PRIVATE $<$<COMPILE_LANGUAGE:C>:-w>)

if(WIN32)
  add_library(kesdra_platform STATIC platform/fs_common.cpp platform/fs_win32.cpp)
else()
  add_library(kesdra_platform STATIC platform/fs_common.cpp platform/fs_posix.cpp platform/cp1252.cpp)
endif()
target_link_libraries(kesdra_platform PUBLIC kesdra_shared)

add_library(kesdra_pe STATIC pe/pe_checksum.cpp pe/pe_image.cpp pe/pe_resources.cpp pe/pe_update.cpp)
target_link_libraries(kesdra_pe PUBLIC kesdra_platform)

if(WIN32)
  add_library(kesdra_uikit STATIC uikit/u_paths.cpp uikit/ui_text.cpp uikit/application_win32.cpp
              uikit/about_win32.cpp uikit/shell_win32.cpp uikit/messageboxes_win32.cpp uikit/resources_win32.cpp
              uikit/u_captions.cpp)
  target_link_libraries(kesdra_uikit PUBLIC kesdra_platform comctl32 comdlg32 version shell32 ole32 gdi32)
else()
  # The Linux builder's own resources are linked into its image (builder/stub_image.S.in).
  add_library(kesdra_uikit STATIC uikit/u_paths.cpp uikit/ui_text.cpp uikit/resources_posix.cpp)
  target_link_libraries(kesdra_uikit PUBLIC kesdra_platform)
endif()

# The compressed writer's threads: std::thread where the C++ library has it, Win32 threads
# where it does not (the cross compiler's win32 thread model).
if(WIN32)
  set(KESDRA_THREADS_SOURCE builder/worker_threads_win32.cpp)
else()
  set(KESDRA_THREADS_SOURCE builder/worker_threads_posix.cpp)
  find_package(Threads REQUIRED)
endif()
add_library(kesdra_builder STATIC builder/cmdline.cpp builder/u_settings.cpp builder/build_sfx.cpp
            builder/source_tree.cpp builder/transfer.cpp builder/startup.cpp builder/payload_compressor.cpp
            ${KESDRA_THREADS_SOURCE} ${LZMA_SDK_DIR}/LzmaEnc.c ${LZMA_SDK_DIR}/LzFind.c)
# The builder checks stored names with the same rule the stub applies.
target_link_libraries(kesdra_builder PUBLIC kesdra_pe kesdra_uikit kesdra_container)
if(NOT WIN32)
  target_link_libraries(kesdra_builder PUBLIC Threads::Threads)
endif()

if(KESDRA_X86)
  # ByteSum and the PE checksum sum 16 bytes a step.
  target_compile_options(kesdra_shared PRIVATE -msse2)
  target_compile_options(kesdra_pe PRIVATE -msse2)
endif()
