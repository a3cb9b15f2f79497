# The installer program holds the fast decoder and not the reference one.
# Run as: cmake -DNM=... -DPROGRAM=... -P reference_absent_check.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${NM} ${PROGRAM} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} ${PROGRAM} failed: ${status}")
endif()
# A program without symbols would pass for the wrong reason.
if(NOT symbols MATCHES "decompressor_decode")
  message(FATAL_ERROR "${PROGRAM} shows no decompressor_decode: its symbols cannot tell")
endif()
if(symbols MATCHES "reference_decode")
  message(FATAL_ERROR "${PROGRAM} holds the reference decoder, a yardstick for tests alone")
endif()
