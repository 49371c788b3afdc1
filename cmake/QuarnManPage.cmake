# Run with cmake -P: writes the manual page of the quarn command (OUTPUT) with help2man from its
# --help, and a section with the --help of every subcommand it lists, so the page says what the
# command says. Inputs: QUARN (the built command), HELP2MAN, OUTPUT, VERSION.
execute_process(COMMAND "${QUARN}" --help OUTPUT_VARIABLE usage RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${QUARN} --help failed")
endif()
string(REGEX MATCHALL "\n  [a-z][a-z0-9]* [A-Z[]" listed "${usage}")
set(section "[SUBCOMMANDS]\n")
foreach(entry IN LISTS listed)
  string(REGEX REPLACE "\n  ([a-z][a-z0-9]*) .*" "\\1" sub "${entry}")
  execute_process(COMMAND "${QUARN}" ${sub} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${QUARN} ${sub} --help failed")
  endif()
  # Shown as written: backslashes escaped, no line taken for a request.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  string(APPEND section ".SS ${sub}\n.nf\n${help}.fi\n")
endforeach()
string(APPEND section "[SEE ALSO]\nThe user guide and the API guide, docs/user-guide.md and docs/api-guide.md in the sources.\n")
file(WRITE "${OUTPUT}.include" "${section}")
execute_process(COMMAND "${HELP2MAN}" --no-info --no-discard-stderr --version-string "${VERSION}"
                        --name "parse, check, edit and write XML messages lazily, copying what did not change"
                        --include "${OUTPUT}.include" --output "${OUTPUT}" "${QUARN}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${QUARN}")
endif()
