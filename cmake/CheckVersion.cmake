# cmake -DEMULATOR=... -DPROGRAM=... -DEXPECTED="name 1.0.0" -P CheckVersion.cmake
# Runs `PROGRAM --version` (through EMULATOR, a list, when set) and fails unless it exits with
# status 0 and prints exactly EXPECTED and a newline on stdout.
execute_process(COMMAND ${EMULATOR} ${PROGRAM} --version
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
# Programs of the Windows build end their lines with CR LF.
string(REPLACE "\r\n" "\n" out "${out}")
if(NOT status STREQUAL "0")
    message(FATAL_ERROR "${PROGRAM} --version: exit status ${status}\n${err}")
endif()
if(NOT out STREQUAL "${EXPECTED}\n")
    message(FATAL_ERROR "${PROGRAM} --version printed \"${out}\", expected \"${EXPECTED}\\n\"")
endif()
message(STATUS "${out}")
