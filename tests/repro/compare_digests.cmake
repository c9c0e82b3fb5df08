# Runs the board digests and the replay of every library fuzz corpus and
# compares their lines with the committed ones: any change of what an
# export writes on these inputs shows up here. When a change is meant, the
# message prints the new lines to commit in EXPECTED.
#   -DDIGESTS=program -DREPLAY_DIR=dir-of-fuzz-programs -DCORPUS=dir -DEXPECTED=file
set(targets copy_gray cad resample masks circles inspect search)
execute_process(COMMAND ${DIGESTS} OUTPUT_VARIABLE actual RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "board digests failed: ${rc}")
endif()
foreach(t IN LISTS targets)
  execute_process(COMMAND ${REPLAY_DIR}/fuzz_${t} ${CORPUS}/${t} OUTPUT_VARIABLE line RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "replay of the ${t} corpus failed: ${rc}")
  endif()
  string(REGEX REPLACE ".*digest ([0-9a-f]+).*" "\\1" d "${line}")
  string(APPEND actual "corpus ${t} ${d}\n")
endforeach()
file(READ ${EXPECTED} expected)
if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "outputs differ from ${EXPECTED}; now:\n${actual}")
endif()
