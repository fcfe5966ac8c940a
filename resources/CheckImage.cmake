# Checks an Intel HEX firmware image and, when it is sound, writes it out as a
# C++ source file. Runs as a script so that it works in cross builds too:
#   cmake -DIMAGE=<file.hex> [-DOUTPUT=<file.cpp>] -P CheckImage.cmake
# A bad image stops with the line number and the reason, and leaves no output,
# so it can never be built into the tool.
cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED IMAGE)
  message(FATAL_ERROR "CheckImage.cmake: IMAGE not set")
endif()
if(DEFINED OUTPUT)
  file(REMOVE "${OUTPUT}")
endif()

function(image_error line_no reason)
  message(FATAL_ERROR "Bad firmware image ${IMAGE}, line ${line_no}: ${reason}")
endfunction()

# Two upper-case hex digits.
function(to_hex2 value out)
  math(EXPR value "${value}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${value}" 2 -1 value)
  string(TOUPPER "${value}" value)
  string(LENGTH "${value}" len)
  if(len LESS 2)
    set(value "0${value}")
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

if(NOT EXISTS "${IMAGE}" OR IS_DIRECTORY "${IMAGE}")
  message(FATAL_ERROR "Firmware image ${IMAGE} not found")
endif()
file(READ "${IMAGE}" content)
string(REPLACE "\r\n" "\n" content "${content}")

# Only colons, hex digits and line ends; this also keeps list separators and
# other characters CMake would interpret out of the line handling below.
string(REGEX MATCH "^[0-9A-Fa-f:\n]*" good "${content}")
string(LENGTH "${good}" good_len)
string(LENGTH "${content}" content_len)
if(good_len LESS content_len)
  string(REGEX MATCHALL "\n" breaks "${good}")
  list(LENGTH breaks line_no)
  math(EXPR line_no "${line_no} + 1")
  image_error(${line_no} "a character other than ':', a hex digit or a line end")
endif()

# One line end after the last record is usual; anything else blank is not.
string(REGEX REPLACE "\n$" "" content "${content}")
if(content STREQUAL "")
  message(FATAL_ERROR "Firmware image ${IMAGE} is empty")
endif()
string(REPLACE "\n" ";" lines "${content}")
list(LENGTH lines line_count)

set(line_no 0)
set(data_records 0)
set(cpp_lines "")
foreach(line IN LISTS lines)
  math(EXPR line_no "${line_no} + 1")
  if(line STREQUAL "")
    image_error(${line_no} "blank line")
  endif()
  if(NOT line MATCHES "^:")
    image_error(${line_no} "does not start with ':'")
  endif()
  string(LENGTH "${line}" len)
  if(len LESS 11)
    image_error(${line_no} "too short for a record (${len} characters, at least 11)")
  endif()
  if(NOT line MATCHES "^:([0-9A-Fa-f][0-9A-Fa-f])+$")
    image_error(${line_no} "after the ':' only pairs of hex digits may follow")
  endif()
  string(SUBSTRING "${line}" 1 2 count)
  string(SUBSTRING "${line}" 3 4 address)
  string(SUBSTRING "${line}" 7 2 type)
  math(EXPR count "0x${count}")
  math(EXPR address "0x${address}")
  math(EXPR expected_len "11 + 2 * ${count}")
  if(NOT len EQUAL expected_len)
    image_error(${line_no}
      "the record announces ${count} data bytes, so it should have ${expected_len} characters, not ${len}")
  endif()

  string(SUBSTRING "${line}" 1 -1 body)
  string(REGEX MATCHALL ".." bytes "${body}")
  list(JOIN bytes "+0x" sum)
  math(EXPR sum "(0x${sum}) % 256")
  if(NOT sum EQUAL 0)
    list(GET bytes -1 given)
    math(EXPR wanted "(0x${given} - ${sum} + 256) % 256")
    to_hex2(${wanted} wanted)
    string(TOUPPER "${given}" given)
    image_error(${line_no} "record checksum is ${given}, should be ${wanted}")
  endif()

  if(type STREQUAL "00")
    math(EXPR end "${address} + ${count}")
    if(end GREATER 65536)
      image_error(${line_no} "the record runs past address 0xFFFF")
    endif()
    math(EXPR data_records "${data_records} + 1")
  elseif(type STREQUAL "01")
    if(NOT line STREQUAL ":00000001FF")
      image_error(${line_no} "the end-of-file record must be :00000001FF")
    endif()
    if(NOT line_no EQUAL line_count)
      image_error(${line_no} "the end-of-file record must be the last line")
    endif()
  else()
    # The loader does not look at the type, so an address or segment record
    # would be written into the image as if it were data.
    image_error(${line_no} "record type ${type}: only data (00) and end-of-file (01) records are allowed")
  endif()
  string(APPEND cpp_lines "    \"${line}\",\n")
endforeach()

list(GET lines -1 last_line)
if(NOT last_line STREQUAL ":00000001FF")
  image_error(${line_count} "the last line is not the end-of-file record :00000001FF")
endif()
if(data_records EQUAL 0)
  message(FATAL_ERROR "Firmware image ${IMAGE} holds no data records")
endif()

if(DEFINED OUTPUT)
  file(WRITE "${OUTPUT}.tmp"
"// Generated from ${IMAGE} at build time; do not edit.
#include \"EmbeddedImage.h\"

namespace resources {
namespace {

constexpr std::string_view kImageLines[] = {
${cpp_lines}};

}  // namespace

std::span<const std::string_view> EmbeddedImageLines() { return kImageLines; }

}  // namespace resources
")
  file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
endif()
