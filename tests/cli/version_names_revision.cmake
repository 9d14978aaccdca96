# The programs name the revision git names for their sources, asked of git
# when the test runs rather than taken from the build's own generated text:
# a build that lost its revision, or named another, says so here.
#
#   cmake -DSOURCE=DIR -DVERSION=X.Y.Z -DPROGRAM=CMD;ARG... [-DPROBE=CMD;ARG...]
#         [-DEXECUTABLES=EXE;...] -P version_names_revision.cmake
#
# PROGRAM's --version must say "quenvory X.Y.Z (REV)" or "(REV-dirty)", REV
# the start of `git rev-parse HEAD` (12 digits at least), or "quenvory X.Y.Z"
# when SOURCE is not a git checkout. With PROBE (the package checks' probe,
# under Wine), each of EXECUTABLES' product version must say the same.
# Says "no git to ask" (the test's skip expression) when there is none.

find_program(git NAMES git)
if(NOT git)
  message(FATAL_ERROR "no git to ask for the revision")
endif()
execute_process(COMMAND ${git} -C ${SOURCE} rev-parse HEAD OUTPUT_VARIABLE head
                RESULT_VARIABLE not_checkout OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)

execute_process(COMMAND ${PROGRAM} --version OUTPUT_VARIABLE said RESULT_VARIABLE status
                ERROR_VARIABLE errors)
string(REPLACE "\r" "" said "${said}")
string(STRIP "${said}" said)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "--version ended with ${status}: ${said} ${errors}")
endif()

string(REPLACE "." "\\." version_pattern "${VERSION}")
if(not_checkout)
  if(NOT said STREQUAL "quenvory ${VERSION}")
    message(FATAL_ERROR "--version says \"${said}\", sources that are no git checkout: "
                        "\"quenvory ${VERSION}\"")
  endif()
elseif(said MATCHES "^quenvory ${version_pattern} \\(([0-9a-f]+)(-dirty)?\\)$")
  set(revision "${CMAKE_MATCH_1}")
  string(LENGTH "${revision}" length)
  string(FIND "${head}" "${revision}" at)
  if(length LESS 12 OR NOT at EQUAL 0)
    message(FATAL_ERROR "--version says \"${said}\", git names revision ${head} "
                        "(a program built before the last commit or checkout names an "
                        "older one: build it again)")
  endif()
else()
  message(FATAL_ERROR "--version says \"${said}\", git names revision ${head}: "
                      "expected \"quenvory ${VERSION} (${head}...)\"")
endif()
message(STATUS "--version: ${said}; git: ${head}")

foreach(executable IN LISTS EXECUTABLES)
  # The probe runs under Wine, where the root of the Linux files is drive Z:.
  string(REPLACE "/" "\\" windows_path "Z:${executable}")
  execute_process(COMMAND ${PROBE} version ${windows_path} OUTPUT_VARIABLE info
                  RESULT_VARIABLE status ERROR_VARIABLE errors)
  string(REPLACE "\r" "" info "${info}")
  if(NOT status EQUAL 0 OR NOT info MATCHES "(^|\n)ProductVersion=([^\n]*)")
    message(FATAL_ERROR "${executable}: no product version (${status}): ${info} ${errors}")
  endif()
  if(NOT "quenvory ${CMAKE_MATCH_2}" STREQUAL said)
    message(FATAL_ERROR "${executable}: product version \"${CMAKE_MATCH_2}\", --version says "
                        "\"${said}\"")
  endif()
  message(STATUS "${executable}: product version ${CMAKE_MATCH_2}")
endforeach()
