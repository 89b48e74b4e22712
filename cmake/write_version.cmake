# Writes the program's version source: the version of project() and, in a
# git checkout, the commit it is built from (with "-dirty" when files under
# version control differ from it). Run at every build; the file is rewritten
# only when its text changes, so an unchanged checkout compiles nothing.
#   cmake -DVERSION=0.6 -DSOURCE_DIR=... -DOUTPUT=.../version_stamp.cpp -P write_version.cmake
set(commit "")
find_program(GIT git)
if(GIT AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(failed)
    set(commit "")
  else()
    execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
                    OUTPUT_VARIABLE changes RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed AND NOT changes STREQUAL "")
      string(APPEND commit "-dirty")
    endif()
  endif()
endif()
set(text "// Written at build time from the version of the build and its checkout.
#include \"app/version.h\"

namespace corvel {

std::string_view ProgramVersion() { return \"${VERSION}\"; }
std::string_view ProgramCommit() { return \"${commit}\"; }

}  // namespace corvel
")
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
