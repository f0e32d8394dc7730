# Runs the kestrune-pack program: usage failure, version, then sample and inspect.
# cmake -DPACK=path/to/kestrune-pack -DFOLDER=scratch/folder -DVERSION=x.y.z
#       -P pack_program_test.cmake
file(REMOVE_RECURSE "${FOLDER}")
file(MAKE_DIRECTORY "${FOLDER}")

execute_process(COMMAND "${PACK}" RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code EQUAL 2 OR NOT out STREQUAL "" OR NOT err MATCHES "^usage: kestrune-pack [^\n]*\n")
    message(FATAL_ERROR "no arguments: exit ${code}, out '${out}', err '${err}'")
endif()

execute_process(COMMAND "${PACK}" --version RESULT_VARIABLE code OUTPUT_VARIABLE out)
if(NOT code EQUAL 0 OR NOT out STREQUAL "kestrune-pack ${VERSION}\n")
    message(FATAL_ERROR "--version: exit ${code}, out '${out}', expected version ${VERSION}")
endif()

execute_process(COMMAND "${PACK}" sample 1000 2.5 "${FOLDER}/Kestrune.fwu" RESULT_VARIABLE code)
if(NOT code EQUAL 0)
    message(FATAL_ERROR "sample: exit ${code}")
endif()
file(SIZE "${FOLDER}/Kestrune.fwu" size)
if(NOT size EQUAL 1004)
    message(FATAL_ERROR "sample wrote ${size} bytes, not 1004")
endif()

execute_process(COMMAND "${PACK}" inspect "${FOLDER}/Kestrune.fwu"
    RESULT_VARIABLE code OUTPUT_VARIABLE out)
if(NOT code EQUAL 0 OR NOT out MATCHES "new version: 2.5\n" OR NOT out MATCHES "checksum good\n")
    message(FATAL_ERROR "inspect: exit ${code}, out '${out}'")
endif()

file(WRITE "${FOLDER}/bad.fwu" "not an update file")
execute_process(COMMAND "${PACK}" inspect "${FOLDER}/bad.fwu" RESULT_VARIABLE code OUTPUT_VARIABLE out)
if(NOT code EQUAL 1 OR NOT out MATCHES "checksum bad\n")
    message(FATAL_ERROR "inspect of a bad file: exit ${code}, out '${out}'")
endif()
file(REMOVE_RECURSE "${FOLDER}")
