# Run after linking the stub: -DSTUB=<exe> -DLIMIT=<bytes, 0: no limit> -DOBJDUMP=<tool>.
# Each failure removes the stub, so that the next build links it again instead of using it.
cmake_minimum_required(VERSION 3.16)
file(SIZE ${STUB} size)
get_filename_component(name ${STUB} NAME)
message(STATUS "${name}: ${size} bytes")

function(reject why)
  file(REMOVE ${STUB})
  message(FATAL_ERROR "${name} ${why}")
endfunction()

if(LIMIT GREATER 0 AND size GREATER LIMIT)
  reject("is ${size} bytes, over its limit of ${LIMIT} bytes")
endif()

execute_process(COMMAND ${OBJDUMP} -p ${STUB} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  reject("cannot be read by ${OBJDUMP}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${dump}")
# The import tables share a section with the code: the linker finds them by symbols that
# the stub's linker script sets, and a stub whose import directory went missing would not
# start at all.
if(NOT dlls)
  reject("has no import directory")
endif()
foreach(entry IN LISTS dlls)
  string(REPLACE "DLL Name: " "" dll "${entry}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll MATCHES "^(kernel32|user32|gdi32|shell32|advapi32|ole32)\\.dll$")
    reject("imports ${dll}: a library call that the stub must not make")
  endif()
endforeach()
foreach(symbol memcpy memset memmove memcmp strlen)
  if(dump MATCHES "[ \t]${symbol}\n")
    reject("imports ${symbol}")
  endif()
endforeach()

# compact_headers.py leaves the headers in one 512-byte unit (the linker's own need two).
string(REGEX MATCH "SizeOfHeaders[ \t]+([0-9a-fA-F]+)" found "${dump}")
if(NOT CMAKE_MATCH_1 STREQUAL "00000200")
  reject("has headers of 0x${CMAKE_MATCH_1} bytes, not 0x200: were they compacted?")
endif()

# The resource section must stay last (a produced file's resources are rewritten in place)
# with the relocations kept before it, and there is no initialised data to carry.
execute_process(COMMAND ${OBJDUMP} -h ${STUB} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
string(REGEX MATCHALL "\n +[0-9]+ [^ ]+" sections "${headers}")
list(TRANSFORM sections REPLACE "^\n +[0-9]+ " "")
list(GET sections -1 last)
if(failed OR NOT last STREQUAL ".rsrc")
  reject("has ${last} as its last section, not .rsrc (sections: ${sections})")
endif()
if(NOT ".reloc" IN_LIST sections)
  reject("has no .reloc section: without relocations it loses ASLR")
endif()
if(".data" IN_LIST sections)
  reject("has a .data section: initialised data that every produced file would carry")
endif()
