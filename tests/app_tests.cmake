# Tests of the command line and of Core Temp's probe and launcher. All but
# the command line's scan start, or rely on the absence of, a process named
# "Core Temp.exe": they share the coretemp lock.

pcreport_add_test(tst_command_line SOURCES tst_command_line.cpp LIBS pcreport_app)

pcreport_add_test(tst_check_mode SOURCES tst_check_mode.cpp LIBS pcreport_app LABELS e2e)
# Runs the built program; ctest cannot build it, so the test's target must.
add_dependencies(tst_check_mode pcreport)

pcreport_add_test(tst_coretemp_probe SOURCES tst_coretemp_probe.cpp LIBS pcreport_coretemp)

# Stands in for Core Temp when launched; Qt-free so it opens nothing itself.
add_executable(launch_fixture fixtures/launch_fixture.cpp)
set_target_properties(launch_fixture PROPERTIES AUTOMOC OFF)
# Runs the launcher with its stdout and stderr on the test's pipes.
add_executable(launch_helper fixtures/launch_helper.cpp)
target_link_libraries(launch_helper PRIVATE pcreport_coretemp)

pcreport_add_test(tst_coretemp_launch SOURCES tst_coretemp_launch.cpp LIBS pcreport_coretemp)
target_compile_definitions(tst_coretemp_launch PRIVATE
  LAUNCH_FIXTURE="$<TARGET_FILE:launch_fixture>"
  LAUNCH_HELPER="$<TARGET_FILE:launch_helper>")
add_dependencies(tst_coretemp_launch launch_fixture launch_helper)

set_tests_properties(tst_check_mode tst_coretemp_probe tst_coretemp_launch
  PROPERTIES RESOURCE_LOCK coretemp)
# The version the program must print for --version.
target_compile_definitions(tst_check_mode PRIVATE PCREPORT_VERSION="${PROJECT_VERSION}")
