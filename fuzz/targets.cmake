# One line per fuzz target: kesdra_fuzz_target(fuzz_<name> ${ROOT}/fuzz/fuzz_<name>.cpp <sources under ${ROOT}>)
kesdra_fuzz_target(fuzz_payload ${ROOT}/fuzz/fuzz_payload.cpp ${ROOT}/container/payload_reader.cpp ${ROOT}/shared/u_shared.cpp)
kesdra_fuzz_target(fuzz_pe_reader ${ROOT}/fuzz/fuzz_pe_reader.cpp ${ROOT}/pe/pe_image.cpp ${ROOT}/pe/pe_resources.cpp)
kesdra_fuzz_target(fuzz_pe_roundtrip ${ROOT}/fuzz/fuzz_pe_roundtrip.cpp ${ROOT}/pe/pe_image.cpp ${ROOT}/pe/pe_resources.cpp ${ROOT}/pe/pe_update.cpp)
