# The portable payload reader (also compiled into the stub) and kesdra-inspect, which lists,
# verifies and safely unpacks produced files without running them.
add_library(kesdra_container STATIC container/payload_reader.cpp container/packed_reader.cpp
  ${LZMA_SDK_DIR}/LzmaDec.c)
set_source_files_properties(${LZMA_SDK_DIR}/LzmaDec.c PROPERTIES COMPILE_OPTIONS "-O2;-w")
target_include_directories(kesdra_container PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kesdra_container PUBLIC kesdra_core)
add_library(kesdra_inspect STATIC tools/inspect/inspect.cpp)
target_link_libraries(kesdra_inspect PUBLIC kesdra_container)
add_executable(kesdra-inspect tools/inspect/inspect_main.cpp)
target_link_libraries(kesdra-inspect PRIVATE kesdra_inspect)
