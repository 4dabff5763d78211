# One line per fuzz target: kesdra_fuzz_target(fuzz_<name> ${ROOT}/fuzz/fuzz_<name>.cpp <sources under ${ROOT}>)
kesdra_fuzz_target(fuzz_payload ${ROOT}/fuzz/fuzz_payload.cpp ${ROOT}/container/payload_reader.cpp ${ROOT}/container/stored_name.cpp ${ROOT}/shared/u_shared.cpp)
set(PE_SOURCES ${ROOT}/pe/pe_checksum.cpp ${ROOT}/pe/pe_image.cpp ${ROOT}/pe/pe_resources.cpp
    ${ROOT}/platform/fs_common.cpp ${ROOT}/platform/fs_posix.cpp ${ROOT}/platform/cp1252.cpp)
kesdra_fuzz_target(fuzz_pe_reader ${ROOT}/fuzz/fuzz_pe_reader.cpp ${PE_SOURCES})
kesdra_fuzz_target(fuzz_pe_roundtrip ${ROOT}/fuzz/fuzz_pe_roundtrip.cpp ${PE_SOURCES} ${ROOT}/pe/pe_update.cpp)
kesdra_fuzz_target(fuzz_settings_value ${ROOT}/fuzz/fuzz_settings_value.cpp ${ROOT}/builder/u_settings.cpp)
kesdra_fuzz_target(fuzz_packed ${ROOT}/fuzz/fuzz_packed.cpp ${ROOT}/container/packed_reader.cpp ${ROOT}/container/payload_reader.cpp ${ROOT}/container/stored_name.cpp ${ROOT}/shared/u_packed.cpp ${ROOT}/shared/u_shared.cpp ${ROOT}/shared/u_x86.cpp /usr/include/lzma/LzmaDec.c)
target_compile_options(fuzz_packed PRIVATE -idirafter /usr/include/lzma)
