# Run after linking a shipped program: -DPROGRAM=<exe> -DLIMIT=<bytes, 0: no limit> -DOBJDUMP=<tool>.
# Fails when the program grew past its limit or still carries debug data or a symbol table,
# and removes it so that the next build links it again instead of shipping it.
file(SIZE ${PROGRAM} size)
get_filename_component(name ${PROGRAM} NAME)
message(STATUS "${name}: ${size} bytes")

function(reject why)
  file(REMOVE ${PROGRAM})
  message(FATAL_ERROR "${name}: ${why}")
endfunction()

if(LIMIT GREATER 0 AND size GREATER LIMIT)
  reject("${size} bytes, over its limit of ${LIMIT} bytes")
endif()
execute_process(COMMAND ${OBJDUMP} -h -f ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  reject("cannot read its section table")
endif()
string(REGEX MATCH "[ \t](\\.z?debug_[a-z_]+)[ \t]" debug "${dump}")
if(debug)
  reject("carries debug data (${CMAKE_MATCH_1}): link it with -s")
endif()
if(dump MATCHES "HAS_SYMS")
  reject("carries a symbol table: link it with -s")
endif()
