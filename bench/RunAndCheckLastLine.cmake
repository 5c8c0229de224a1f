# Runs PROGRAM with ARGS and passes when it exits with 0 and the last line it
# printed is the benchmark's summary line: PATTERN, by default link_roundtrips'.
execute_process(COMMAND ${PROGRAM} ${ARGS}
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output)
message("${output}")
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} exited with ${result}")
endif()
string(STRIP "${output}" output)
string(REGEX REPLACE ".*\n" "" last "${output}")
if(NOT PATTERN)
    set(PATTERN "^core/qserialport ratio: [0-9]+\\.[0-9][0-9]; line-delay core/raw ratio: [0-9]+\\.[0-9][0-9]$")
endif()
if(NOT last MATCHES "${PATTERN}")
    message(FATAL_ERROR "the last line is not the summary line: '${last}'")
endif()
