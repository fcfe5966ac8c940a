# Plants, in a copy of the image check, the off-by-one that accepts a record
# ending one byte past 0xFFFF, and expects the image-check fuzz target to
# catch it on the input kept for it; the real check must pass that input.
# FUZZER is the libFuzzer program or its replay; it runs in WORK_DIR, where
# libFuzzer leaves the crashing input.
#   cmake -DFUZZER=<program> -DCHECK_SCRIPT=<CheckImage.cmake> -DINPUT=<file>
#         -DWORK_DIR=<dir> -P PlantedBound.cmake
cmake_minimum_required(VERSION 3.25)

file(MAKE_DIRECTORY "${WORK_DIR}")
file(READ "${CHECK_SCRIPT}" text)
string(REPLACE "if(end GREATER 65536)" "if(end GREATER 65537)" planted "${text}")
if(planted STREQUAL text)
  message(FATAL_ERROR "The bound to plant the fault in is not in ${CHECK_SCRIPT}")
endif()
file(WRITE "${WORK_DIR}/CheckImage.cmake" "${planted}")

execute_process(
  COMMAND "${CMAKE_COMMAND}" -E env "KSIDU_CHECK_IMAGE_SCRIPT=${WORK_DIR}/CheckImage.cmake"
          "${FUZZER}" "${INPUT}"
  WORKING_DIRECTORY "${WORK_DIR}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 0)
  message(FATAL_ERROR "The fuzz target did not notice the planted off-by-one:\n${err}")
endif()
if(NOT err MATCHES "accepted an image the loader cannot store soundly: line 1: runs past 0xFFFF")
  message(FATAL_ERROR "The fuzz target failed, but not on the planted fault:\n${err}")
endif()

execute_process(
  COMMAND "${FUZZER}" "${INPUT}"
  WORKING_DIRECTORY "${WORK_DIR}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "The real image check fails the input kept for the planted fault:\n${err}")
endif()
