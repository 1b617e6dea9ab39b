# vantu_run_checked(WHAT COMMAND...): runs COMMAND and stops with WHAT and
# its output when it fails. (No ';' in a command: it would split the
# argument.) For the package scripts.
function(vantu_run_checked what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${output}")
  endif()
endfunction()
