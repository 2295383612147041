# Tests of the sampler subsystem and of the Linux monitor.

pcreport_add_test(tst_memory_status
  SOURCES tst_memory_status.cpp
  LIBS pcreport_sampler)

pcreport_add_test(tst_monitor_readings
  SOURCES tst_monitor_readings.cpp
  LIBS coretemp_monitor_core)
