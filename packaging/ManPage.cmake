# Makes a program's manual page with help2man from its --help and the
# additions in an include file, gzipped as Debian wants it:
#   cmake -DPROGRAM=<exe> -DVERSION=2.3 -DINCLUDE=<file.h2m> -DOUTPUT=<page.1.gz>
#         [-DSOURCE_DATE_EPOCH=<seconds>] -P ManPage.cmake
# The page's date is SOURCE_DATE_EPOCH's when it is given (help2man takes it
# from the environment), in English whatever the builder's locale.
cmake_minimum_required(VERSION 3.25)
foreach(_var PROGRAM VERSION INCLUDE OUTPUT)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "ManPage.cmake: -D${_var}=... is required")
  endif()
endforeach()
find_program(HELP2MAN help2man REQUIRED)
if(DEFINED SOURCE_DATE_EPOCH AND NOT SOURCE_DATE_EPOCH STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} "${SOURCE_DATE_EPOCH}")
endif()
set(ENV{LC_ALL} C.UTF-8)
unset(ENV{LANGUAGE})
find_program(GZIP gzip REQUIRED)

# --version-string: the version output's further lines describe this build's
# image, which is no part of a manual page.
execute_process(
  COMMAND "${HELP2MAN}" --no-info --section=1 "--version-string=${VERSION}"
          "--include=${INCLUDE}" --output=-  "${PROGRAM}"
  OUTPUT_VARIABLE _page
  ERROR_VARIABLE _error
  RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0 OR NOT _error STREQUAL "")
  message(FATAL_ERROR "help2man ${PROGRAM} failed (${_rc}):\n${_error}")
endif()
# The exit status list of --help is a section of its own in a manual page.
string(REPLACE ".SS \"Exit status:\"" ".SH \"EXIT STATUS\"" _page "${_page}")

get_filename_component(_dir "${OUTPUT}" DIRECTORY)
get_filename_component(_name "${OUTPUT}" NAME_WLE)
file(MAKE_DIRECTORY "${_dir}")
file(WRITE "${_dir}/${_name}" "${_page}")
# -n: no name or time stamp in the gzip header.
execute_process(COMMAND "${GZIP}" -9nf "${_dir}/${_name}" RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "gzip ${_dir}/${_name} failed")
endif()
