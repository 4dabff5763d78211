# Writes a man page from a program's own usage text (its --help output), so that the two
# never disagree. Run as: cmake -DPROGRAM=<exe> -DNAME=<name> -DSUMMARY=<one line>
#   -DVERSION=<version> -DOUT=<file.1> -P man_page.cmake
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE usage RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help ended with ${rc}")
endif()
# roff: a backslash is written \e, and a line may not begin with a dot or a quote.
string(REPLACE "\\" "\\e" usage "${usage}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" usage "${usage}")
string(TOUPPER "${NAME}" title)
file(WRITE ${OUT} ".TH ${title} 1 \"\" \"${NAME} ${VERSION}\" \"User Commands\"
.SH NAME
${NAME} \\- ${SUMMARY}
.SH DESCRIPTION
.nf
${usage}.fi
")
