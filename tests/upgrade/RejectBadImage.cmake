# Runs the build's image check on broken copies of the image and expects each
# to be refused with its line number and reason, and no source written.
#   cmake -DCHECK_SCRIPT=... -DIMAGE=... -DWORK_DIR=... -P RejectBadImage.cmake
cmake_minimum_required(VERSION 3.25)

file(MAKE_DIRECTORY "${WORK_DIR}")
# NO_HEX_CONVERSION: file(STRINGS) would otherwise decode Intel HEX to binary.
file(STRINGS "${IMAGE}" good_lines NO_HEX_CONVERSION)
set(failures "")

# expect_refused(<name> <line number> <expected reason> <line index> <replacement>)
# Replaces the line at the 0-based index (or appends when the index is -1)
# and runs the check on the result.
function(expect_refused name line_no reason index replacement)
  set(lines ${good_lines})
  if(index EQUAL -1)
    list(APPEND lines "${replacement}")
  else()
    list(REMOVE_AT lines ${index})
    list(INSERT lines ${index} "${replacement}")
  endif()
  list(JOIN lines "\n" text)
  string(REPLACE "@" ";" text "${text}")  # a list cannot carry ';' itself
  set(broken "${WORK_DIR}/${name}.hex")
  set(output "${WORK_DIR}/${name}.cpp")
  file(WRITE "${broken}" "${text}\n")
  file(WRITE "${output}" "stale")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" "-DIMAGE=${broken}" "-DOUTPUT=${output}" -P "${CHECK_SCRIPT}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REGEX REPLACE "[ \n]+" " " err "${err}")  # undo CMake's line wrapping
  if(rc EQUAL 0)
    string(APPEND failures "${name}: accepted\n")
  elseif(NOT err MATCHES "line ${line_no}: ${reason}")
    string(APPEND failures "${name}: expected 'line ${line_no}: ${reason}', got: ${err}\n")
  elseif(EXISTS "${output}")
    string(APPEND failures "${name}: left a source file behind\n")
  endif()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

# Line 1000 of the image, with one fault each.
list(GET good_lines 999 line)
string(LENGTH "${line}" len)
math(EXPR last "${len} - 2")
string(SUBSTRING "${line}" 0 ${last} body)
string(SUBSTRING "${line}" ${last} 2 checksum)
math(EXPR wrong "(0x${checksum} + 1) % 256" OUTPUT_FORMAT HEXADECIMAL)
string(SUBSTRING "${wrong}" 2 -1 wrong)
string(TOUPPER "0${wrong}" wrong)
string(REGEX REPLACE "^0(..)$" "\\1" wrong "${wrong}")

expect_refused(checksum 1000 "record checksum is ${wrong}, should be ${checksum}" 999 "${body}${wrong}")
string(SUBSTRING "${line}" 0 21 cut)
expect_refused(short 1000 "the record announces" 999 "${cut}")
string(REGEX REPLACE "^(.......)00" "\\1G0" nonhex "${line}")
expect_refused(nonhex 1000 "a character other than" 999 "${nonhex}")
expect_refused(semicolon 1000 "a character other than" 999 ":0100@0000FF")
expect_refused(blank 1000 "blank line" 999 "")
expect_refused(nocolon 1000 "does not start with" 999 "0100000000FF")
# 16 bytes at 0xFFF8, correct checksum.
expect_refused(pasttop 1000 "the record runs past address 0xFFFF" 999
               ":10FFF80000000000000000000000000000000000F9")
expect_refused(extaddress 1000 "record type 04" 999 ":020000040001F9")
expect_refused(earlyeof 1000 "the end-of-file record must be the last line" 999 ":00000001FF")
list(LENGTH good_lines count)
math(EXPR after "${count} + 1")
expect_refused(dataaftereof ${count} "the end-of-file record must be the last line" -1 ":0100000000FF")

# The unbroken image passes and becomes source, with LF or CRLF line ends.
list(JOIN good_lines "\r\n" crlf)
file(WRITE "${WORK_DIR}/crlf.hex" "${crlf}\r\n")
foreach(good "${IMAGE}" "${WORK_DIR}/crlf.hex")
  file(REMOVE "${WORK_DIR}/good.cpp")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" "-DIMAGE=${good}" "-DOUTPUT=${WORK_DIR}/good.cpp" -P "${CHECK_SCRIPT}"
    RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT EXISTS "${WORK_DIR}/good.cpp")
    string(APPEND failures "${good} was refused: ${err}\n")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
