# Runs protoc (PROTOC, ARGS as a ;-list) and passes on what it prints, except
# the one notice that incident.proto imports annotation.proto without using
# it: the import belongs to that file's published shape (every schema of the
# suite that may carry display texts imports the annotations), so it stays.
execute_process(COMMAND ${PROTOC} ${ARGS} RESULT_VARIABLE status
                OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX REPLACE "incident\\.proto:[0-9]+:[0-9]+: warning: Import annotation\\.proto is unused\\.\n?" "" err "${err}")
if(out)
  message("${out}")
endif()
if(err)
  message("${err}")
endif()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "protoc failed")
endif()
