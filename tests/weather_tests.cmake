# Tests of the weather subsystem.

# A small HTTP server on loopback standing in for both web services, and the
# base class of the tests that use it.
add_library(pcreport_fake_http STATIC fake_http_server.h fake_http_server.cpp
  weather_signal_relay.h)
target_link_libraries(pcreport_fake_http PUBLIC Qt::Core Qt::Network Qt::Test CURL::libcurl
  pcreport_weather)
target_include_directories(pcreport_fake_http PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})

pcreport_add_test(tst_weather_codes SOURCES tst_weather_codes.cpp LIBS pcreport_weather)
pcreport_add_test(tst_weather_decode SOURCES tst_weather_decode.cpp LIBS pcreport_weather)
pcreport_add_test(tst_city_lookup SOURCES tst_city_lookup.cpp LIBS pcreport_weather)
pcreport_add_test(tst_http SOURCES tst_http.cpp
  LIBS pcreport_weather pcreport_fake_http CURL::libcurl)
pcreport_add_test(tst_weather_client SOURCES tst_weather_client.cpp
  LIBS pcreport_weather pcreport_fake_http CURL::libcurl)

# Both web services in one program, for the end-to-end test's namespace.
add_executable(weather_fake_service fake_weather_service.cpp)
target_link_libraries(weather_fake_service PRIVATE pcreport_fake_http)

pcreport_add_test(tst_weather_e2e SOURCES tst_weather_e2e.cpp LIBS Qt::Core LABELS e2e)
target_compile_definitions(tst_weather_e2e PRIVATE
  WEATHER_FAKE_SERVICE="$<TARGET_FILE:weather_fake_service>")
add_dependencies(tst_weather_e2e weather_fake_service pcreport)
if(TARGET coretemp_monitor)
  add_dependencies(tst_weather_e2e coretemp_monitor)
endif()
# Its monitor is a "Core Temp.exe" that the other end-to-end tests look for.
set_tests_properties(tst_weather_e2e PROPERTIES RESOURCE_LOCK coretemp TIMEOUT 300)
