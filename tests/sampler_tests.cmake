# Tests of the sampler subsystem and of the Linux monitor.

pcreport_add_test(tst_memory_status
  SOURCES tst_memory_status.cpp
  LIBS pcreport_sampler)

pcreport_add_test(tst_monitor_readings
  SOURCES tst_monitor_readings.cpp
  LIBS coretemp_monitor_core)

pcreport_add_test(tst_coretemp_proxy
  SOURCES tst_coretemp_proxy.cpp coretemp_shm_fixture.h
  LIBS pcreport_coretemp)
set_tests_properties(tst_coretemp_proxy PROPERTIES RESOURCE_LOCK coretemp)

# Reads Core Temp's real shared memory object for the core 0 cases.
pcreport_add_test(tst_hardware_data_obj
  SOURCES tst_hardware_data_obj.cpp coretemp_shm_fixture.h
  LIBS pcreport_sampler)
set_tests_properties(tst_hardware_data_obj PROPERTIES RESOURCE_LOCK coretemp)

# Runs the built monitor ("Core Temp.exe") as a real process.
pcreport_add_test(tst_monitor
  SOURCES tst_monitor.cpp coretemp_shm_fixture.h
  LIBS pcreport_coretemp)
add_dependencies(tst_monitor coretemp_monitor)
set_tests_properties(tst_monitor PROPERTIES RESOURCE_LOCK coretemp)
