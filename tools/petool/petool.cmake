# kesdra-petool, the build's own PE tool: built natively before the cross builds, which run it
# after linking each Windows program (compact, describe) and under Wine (machine).
add_library(kesdra_petool STATIC tools/petool/pe_tool.cpp)
target_link_libraries(kesdra_petool PUBLIC kesdra_pe)
add_executable(kesdra-petool tools/petool/pe_tool_main.cpp)
target_link_libraries(kesdra-petool PRIVATE kesdra_petool)
