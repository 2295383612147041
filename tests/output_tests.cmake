# Tests of the output subsystem.
pcreport_add_test(tst_output_record SOURCES tst_output_record.cpp LIBS pcreport_output)
