# Script mode: cmake -DPAGE=<page.html> -DOUTPUT=<template> -P page_template.cmake
#
# Builds the stored page template from the editable files: every
# "<!--#include NAME-->" in page.html is replaced by the file NAME beside it,
# "<!--#theme-head-->" by the byte 1 and "<!--#theme-tail-->" by the byte 2.
# The program puts the two theme blocks in place of those bytes when it
# writes the page, so neither byte may appear anywhere else.
if(NOT EXISTS "${PAGE}")
  message(FATAL_ERROR "page template source ${PAGE} is missing")
endif()
get_filename_component(page_dir "${PAGE}" DIRECTORY)
file(READ "${PAGE}" page)
string(ASCII 1 marker_head)
string(ASCII 2 marker_tail)

string(REGEX MATCHALL "<!--#include [A-Za-z0-9_.-]+-->" includes "${page}")
foreach(inc IN LISTS includes)
  string(REGEX REPLACE "<!--#include ([A-Za-z0-9_.-]+)-->" "\\1" name "${inc}")
  if(NOT EXISTS "${page_dir}/${name}")
    message(FATAL_ERROR "${PAGE} includes ${name}, which is missing")
  endif()
  file(READ "${page_dir}/${name}" part)
  string(REPLACE "${inc}" "${part}" page "${page}")
endforeach()

foreach(marker IN ITEMS marker_head marker_tail)
  string(FIND "${page}" "${${marker}}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${PAGE} or an included file holds a byte reserved for the theme markers")
  endif()
endforeach()
foreach(pair IN ITEMS "theme-head;marker_head" "theme-tail;marker_tail")
  list(GET pair 0 tag)
  list(GET pair 1 marker)
  string(FIND "${page}" "<!--#${tag}-->" first)
  string(FIND "${page}" "<!--#${tag}-->" last REVERSE)
  if(first EQUAL -1 OR NOT first EQUAL last)
    message(FATAL_ERROR "${PAGE} must hold <!--#${tag}--> exactly once")
  endif()
  string(REPLACE "<!--#${tag}-->" "${${marker}}" page "${page}")
endforeach()

get_filename_component(out_dir "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${out_dir}")
file(WRITE "${OUTPUT}.tmp" "${page}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
