# Run at every build (cmake -P): writes the header that names the project's
# version and, in a git checkout, the commit the programs are built from.
# The header is replaced only when its text changes, so an unchanged commit
# recompiles nothing.
#   -DSOURCE_DIR=... -DVERSION=... -DOUTPUT=...
set(commit "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(text "// Written by the build (cmake/version_header.cmake).\n")
string(APPEND text "#define TARVIK_VERSION \"${VERSION}\"\n")
string(APPEND text "#define TARVIK_COMMIT \"${commit}\"\n")
file(WRITE "${OUTPUT}.new" "${text}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${OUTPUT}.new" "${OUTPUT}")
file(REMOVE "${OUTPUT}.new")
