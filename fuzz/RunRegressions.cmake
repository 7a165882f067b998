# Runs the fuzzer once over every file of a directory (libFuzzer executes the files it is given and stops), so
# that each reproducer of a past finding is checked on every run.
#
#   cmake -DFUZZER=<fuzzer> -DDIRECTORY=<dir> [-DLIMITS=<libFuzzer flags>] -P RunRegressions.cmake
if(NOT FUZZER OR NOT DIRECTORY)
  message(FATAL_ERROR "RunRegressions.cmake: FUZZER and DIRECTORY must be given")
endif()
file(GLOB _inputs LIST_DIRECTORIES false "${DIRECTORY}/*")
list(FILTER _inputs EXCLUDE REGEX "/README[^/]*$")
list(LENGTH _inputs _count)
if(_count EQUAL 0)
  message(STATUS "no reproducers in ${DIRECTORY}")
  return()
endif()
list(SORT _inputs)
execute_process(COMMAND ${FUZZER} ${LIMITS} ${_inputs} RESULT_VARIABLE _status)
if(NOT _status EQUAL 0)
  message(FATAL_ERROR "the fuzzer failed (${_status}) on a reproducer in ${DIRECTORY}")
endif()
message(STATUS "${_count} reproducers passed")
