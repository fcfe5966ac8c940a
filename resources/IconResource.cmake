# Turns the window's icon of the form description (kIconPalette and kIcon in
# MainForm.h) into a Windows icon resource: one 32 x 32 image in 16 colours,
# its clear pixels masked, written as the raw RT_ICON and RT_GROUP_ICON data
# of a resource script. So the program's icon is always the picture that the
# other front ends draw from the same rows.
#
#   cmake -DFORM=MainForm.h -DOUTPUT=icon.rc -DICON_ID=1 -P IconResource.cmake
cmake_minimum_required(VERSION 3.25)
foreach(_var FORM OUTPUT ICON_ID)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "IconResource.cmake: -D${_var}=... is required")
  endif()
endforeach()

file(READ "${FORM}" _form)

string(REGEX MATCH "kIconPalette{([^}]*)}" _palette_block "${_form}")
if(NOT _palette_block)
  message(FATAL_ERROR "${FORM}: no kIconPalette found")
endif()
string(REGEX MATCHALL "0x[0-9A-Fa-f]+" _palette "${CMAKE_MATCH_1}")
list(LENGTH _palette _colours)
if(NOT _colours EQUAL 16)
  message(FATAL_ERROR "${FORM}: kIconPalette holds ${_colours} colours, not 16")
endif()

string(REGEX MATCH "kIcon{{([^}]*)}}" _icon_block "${_form}")
if(NOT _icon_block)
  message(FATAL_ERROR "${FORM}: no kIcon rows found")
endif()
string(REGEX MATCHALL "\"[^\"]*\"" _quoted "${CMAKE_MATCH_1}")
set(_rows "")
foreach(_q IN LISTS _quoted)
  string(REGEX REPLACE "^\"(.*)\"$" "\\1" _row "${_q}")
  if(NOT _row MATCHES "^[.0-9A-F]+$")
    message(FATAL_ERROR "${FORM}: icon row '${_row}' holds a character other than . 0-9 A-F")
  endif()
  string(LENGTH "${_row}" _len)
  if(NOT _len EQUAL 32)
    message(FATAL_ERROR "${FORM}: icon row '${_row}' is ${_len} pixels wide, not 32")
  endif()
  list(APPEND _rows "${_row}")
endforeach()
list(LENGTH _rows _height)
if(NOT _height EQUAL 32)
  message(FATAL_ERROR "${FORM}: the icon has ${_height} rows, not 32")
endif()

set(_bytes "")
macro(_put_le value size)
  set(_v ${value})
  foreach(_i RANGE 1 ${size})
    math(EXPR _b "${_v} & 255")
    list(APPEND _bytes ${_b})
    math(EXPR _v "${_v} >> 8")
  endforeach()
endmacro()

# BITMAPINFOHEADER: the height counts the colour image and the mask.
set(_image_bytes 744)  # 40 header + 64 palette + 32 * 16 colour + 32 * 4 mask
_put_le(40 4)
_put_le(32 4)
_put_le(64 4)
_put_le(1 2)
_put_le(4 2)
_put_le(0 4)
_put_le(640 4)
_put_le(0 4)
_put_le(0 4)
_put_le(16 4)
_put_le(0 4)
# The palette as blue, green, red, 0.
foreach(_c IN LISTS _palette)
  math(EXPR _r "(${_c} >> 16) & 255")
  math(EXPR _g "(${_c} >> 8) & 255")
  math(EXPR _bl "${_c} & 255")
  list(APPEND _bytes ${_bl} ${_g} ${_r} 0)
endforeach()

set(_digits "0123456789ABCDEF")
# Colour image and mask, both bottom row first. A clear pixel is colour 0
# with its mask bit set.
set(_mask_bytes "")
foreach(_y RANGE 31 0 -1)
  list(GET _rows ${_y} _row)
  set(_mask 0)
  foreach(_x RANGE 0 31 2)
    string(SUBSTRING "${_row}" ${_x} 1 _p0)
    math(EXPR _x1 "${_x} + 1")
    string(SUBSTRING "${_row}" ${_x1} 1 _p1)
    set(_byte 0)
    foreach(_p IN ITEMS _p0 _p1)
      math(EXPR _byte "${_byte} << 4")
      math(EXPR _mask "${_mask} << 1")
      if("${${_p}}" STREQUAL ".")
        math(EXPR _mask "${_mask} | 1")
      else()
        string(FIND "${_digits}" "${${_p}}" _index)
        math(EXPR _byte "${_byte} | ${_index}")
      endif()
    endforeach()
    list(APPEND _bytes ${_byte})
  endforeach()
  # 32 mask bits, leftmost pixel in the highest bit of the first byte.
  foreach(_shift IN ITEMS 24 16 8 0)
    math(EXPR _mb "(${_mask} >> ${_shift}) & 255")
    list(APPEND _mask_bytes ${_mb})
  endforeach()
endforeach()
list(APPEND _bytes ${_mask_bytes})

list(LENGTH _bytes _count)
if(NOT _count EQUAL _image_bytes)
  message(FATAL_ERROR "IconResource.cmake: made ${_count} bytes, expected ${_image_bytes}")
endif()

# Raw resource data is written as 16-bit words, low byte first.
function(_words out_var)
  set(_text "")
  set(_bs ${ARGN})
  list(LENGTH _bs _n)
  math(EXPR _last "${_n} - 1")
  set(_col 0)
  foreach(_i RANGE 0 ${_last} 2)
    math(EXPR _j "${_i} + 1")
    list(GET _bs ${_i} _lo)
    list(GET _bs ${_j} _hi)
    math(EXPR _w "${_lo} | (${_hi} << 8)" OUTPUT_FORMAT HEXADECIMAL)
    if(_i EQUAL _last OR _j EQUAL _last)
      string(APPEND _text "${_w}")
    else()
      string(APPEND _text "${_w},")
    endif()
    math(EXPR _col "${_col} + 1")
    if(_col EQUAL 12)
      string(APPEND _text "\n ")
      set(_col 0)
    else()
      string(APPEND _text " ")
    endif()
  endforeach()
  set(${out_var} "${_text}" PARENT_SCOPE)
endfunction()

_words(_icon_words ${_bytes})

# The group entry that points at the image.
set(_bytes "")
_put_le(0 2)   # reserved
_put_le(1 2)   # type: icon
_put_le(1 2)   # one image
list(APPEND _bytes 32 32 16 0)
_put_le(1 2)   # planes
_put_le(4 2)   # bits per pixel
_put_le(${_image_bytes} 4)
_put_le(${ICON_ID} 2)
_words(_group_words ${_bytes})

file(WRITE "${OUTPUT}.tmp"
"/* Generated from ${FORM} by IconResource.cmake; do not edit. */\n"
"${ICON_ID} 3\nBEGIN\n ${_icon_words}\nEND\n\n"
"${ICON_ID} 14\nBEGIN\n ${_group_words}\nEND\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
