# Run after linking a shipped Windows program:
#   cmake -DIMAGE=<exe> -DTOOL=<kesdra-petool> [rules] -P check_binary.cmake
# Rules, each given only where it applies (lists separated by ","):
#   LIMIT=<bytes>            the file may not grow past this
#   STRIPPED=ON              no symbol table, no debug sections, no debug directory
#   IMPORTS=<dll,...>        the only DLLs it may import, and it must import some
#   HEADERS=<bytes>          SizeOfHeaders must be exactly this (the stubs' compacted headers)
#   LAST_SECTION=<name>      the section that must come last
#   REQUIRE_SECTIONS=<name,...> / FORBID_SECTIONS=<name,...>
#   REQUIRE_FLAGS=<mask>     DllCharacteristics bits that must be set (hexadecimal, 0x...)
# A rejected image is removed, so that the next build links it again instead of shipping it.
# The facts come from kesdra-petool describe (pe/, the one PE reader).
cmake_minimum_required(VERSION 3.16)
get_filename_component(name ${IMAGE} NAME)

function(reject why)
  file(REMOVE ${IMAGE})
  message(FATAL_ERROR "${name}: ${why}")
endfunction()

execute_process(COMMAND ${TOOL} describe ${IMAGE} OUTPUT_VARIABLE facts ERROR_VARIABLE problem RESULT_VARIABLE failed)
if(failed)
  string(STRIP "${problem}" problem)
  reject("cannot be read as a PE image (${problem})")
endif()
foreach(key size headers dll_characteristics sections imports symbols debug)
  string(REGEX MATCH "(^|\n)${key}=([^\n]*)" found "${facts}")
  set(${key} "${CMAKE_MATCH_2}")
endforeach()
message(STATUS "${name}: ${size} bytes")

if(LIMIT AND size GREATER LIMIT)
  reject("${size} bytes, over its limit of ${LIMIT} bytes")
endif()

if(STRIPPED)
  if(symbols)
    reject("carries a symbol table: link it with -s")
  endif()
  foreach(section IN LISTS sections)
    if(section MATCHES "^\\.z?debug")
      reject("carries debug data (${section}): link it with -s")
    endif()
  endforeach()
  if(debug)
    reject("carries a debug directory")
  endif()
endif()

if(DEFINED IMPORTS)
  # The import tables may share a section with the code (the stubs' linker script places
  # them by symbols): an image whose import directory went missing would not start at all.
  if(NOT imports)
    reject("has no import directory")
  endif()
  string(REPLACE "," ";" allowed "${IMPORTS}")
  list(TRANSFORM allowed TOLOWER)
  foreach(dll IN LISTS imports)
    string(TOLOWER "${dll}" dll)
    string(REGEX REPLACE "\\.dll$" "" base "${dll}")
    if(NOT base IN_LIST allowed)
      reject("imports ${dll}: a library call it must not make")
    endif()
  endforeach()
endif()

if(HEADERS AND NOT headers EQUAL HEADERS)
  reject("has ${headers} bytes of headers, not ${HEADERS}: were they compacted?")
endif()

if(LAST_SECTION)
  list(GET sections -1 last)
  if(NOT last STREQUAL LAST_SECTION)
    reject("has ${last} as its last section, not ${LAST_SECTION} (sections: ${sections})")
  endif()
endif()
foreach(rule REQUIRE FORBID)
  string(REPLACE "," ";" listed "${${rule}_SECTIONS}")
  foreach(section IN LISTS listed)
    if(rule STREQUAL "REQUIRE" AND NOT section IN_LIST sections)
      reject("has no ${section} section (sections: ${sections})")
    elseif(rule STREQUAL "FORBID" AND section IN_LIST sections)
      reject("has a ${section} section (sections: ${sections})")
    endif()
  endforeach()
endforeach()

if(REQUIRE_FLAGS)
  math(EXPR missing "(${dll_characteristics} & ${REQUIRE_FLAGS}) ^ ${REQUIRE_FLAGS}")
  if(missing)
    math(EXPR missing "${missing}" OUTPUT_FORMAT HEXADECIMAL)
    reject("lacks DllCharacteristics ${missing} (has ${dll_characteristics}, needs ${REQUIRE_FLAGS})")
  endif()
endif()
