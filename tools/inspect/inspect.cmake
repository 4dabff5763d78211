# The portable payload reader (also compiled into the stub) and kesdra-inspect, which lists,
# verifies and safely unpacks produced files without running them.
add_library(kesdra_inspect STATIC tools/inspect/inspect.cpp)
target_link_libraries(kesdra_inspect PUBLIC kesdra_container kesdra_pe kesdra_platform)
target_compile_definitions(kesdra_inspect PRIVATE KESDRA_VERSION="${KESDRA_VERSION}")
add_executable(kesdra-inspect tools/inspect/inspect_main.cpp)
target_link_libraries(kesdra-inspect PRIVATE kesdra_inspect)
