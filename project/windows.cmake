# The Windows cross build's checks: what cannot run on this machine is
# reported as a skipped test with its reason, never as a passed one.

# A test that only reports `reason` and is counted as skipped.
function(harlwick_skipped_test name reason)
  add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E echo "skipped: ${reason}")
  set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "skipped: ")
endfunction()

if(HARLWICK_CROSS_UNAVAILABLE)
  # Without the cross compiler nothing is built; one test says why.
  message(WARNING "Windows build not possible: ${HARLWICK_CROSS_UNAVAILABLE}")
  enable_testing()
  harlwick_skipped_test(windows-build "${HARLWICK_CROSS_UNAVAILABLE}")
elseif(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(WARNING "Windows tests will be skipped: ${HARLWICK_EMULATOR_UNAVAILABLE}")
endif()
