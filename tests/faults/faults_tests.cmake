# Faults injected into the built programs from outside, and the soak.
add_executable(record_reader faults/record_reader.cpp)
set_target_properties(record_reader PROPERTIES AUTOMOC OFF)

if(NOT WIN32)
  # As root, in a private mount and network namespace the script makes itself;
  # skipped otherwise.
  add_test(NAME faults_e2e COMMAND bash
    ${CMAKE_CURRENT_SOURCE_DIR}/faults/faults_e2e.sh ${PCREPORT_BIN_DIR}
    $<TARGET_FILE:record_reader> $<TARGET_FILE:weather_fake_service>)
  set_tests_properties(faults_e2e PROPERTIES RESOURCE_LOCK coretemp TIMEOUT 900
    SKIP_RETURN_CODE 77 LABELS "e2e;faults;slow")
endif()
