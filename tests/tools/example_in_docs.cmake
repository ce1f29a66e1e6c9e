# Checks that the MJPEG guide in docs/api.md shows docs/examples/mjpeg_receiver.c
# exactly, so the program readers copy is the one the build compiles.
# Usage: cmake -DDOC=docs/api.md -DEXAMPLE=docs/examples/mjpeg_receiver.c -P example_in_docs.cmake
file(READ ${DOC} doc)
file(READ ${EXAMPLE} example)
string(FIND "${doc}" "```c\n${example}```" at)
if(at EQUAL -1)
    message(FATAL_ERROR "${DOC} does not show ${EXAMPLE} verbatim in a ```c block")
endif()
message(STATUS "${EXAMPLE} appears verbatim in ${DOC}")
