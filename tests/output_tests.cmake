# Tests of the output subsystem.
pcreport_add_test(tst_output_record SOURCES tst_output_record.cpp LIBS pcreport_output)
pcreport_add_test(tst_grab_pc_data SOURCES tst_grab_pc_data.cpp
  LIBS pcreport_output pcreport_fake_http)

if(NOT WIN32)
  # Against a private PulseAudio server that the test starts itself.
  pcreport_add_test(tst_system_volume SOURCES tst_system_volume.cpp LIBS pcreport_output)
  # A volume call that ignored its deadline would hang on the silent server.
  set_tests_properties(tst_system_volume PROPERTIES TIMEOUT 60)
  # Real pipes, sockets, a file, a terminal as standard output.
  pcreport_add_test(tst_reader_gone SOURCES tst_reader_gone.cpp LIBS pcreport_output)

  # The built program with the monitor, as its reader runs it.
  pcreport_add_test(tst_grab_e2e SOURCES tst_grab_e2e.cpp LIBS Qt::Core LABELS e2e)
  add_dependencies(tst_grab_e2e pcreport coretemp_monitor)
  set_tests_properties(tst_grab_e2e PROPERTIES RESOURCE_LOCK coretemp TIMEOUT 120)
endif()
