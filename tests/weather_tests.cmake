# Tests of the weather subsystem.

# A small HTTP server on loopback standing in for both web services.
add_library(pcreport_fake_http STATIC fake_http_server.h fake_http_server.cpp)
target_link_libraries(pcreport_fake_http PUBLIC Qt5::Core Qt5::Network)
target_include_directories(pcreport_fake_http PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})

pcreport_add_test(tst_weather_codes SOURCES tst_weather_codes.cpp LIBS pcreport_weather)
pcreport_add_test(tst_weather_decode SOURCES tst_weather_decode.cpp LIBS pcreport_weather)
pcreport_add_test(tst_city_lookup SOURCES tst_city_lookup.cpp LIBS pcreport_weather)
pcreport_add_test(tst_http SOURCES tst_http.cpp
  LIBS pcreport_weather pcreport_fake_http CURL::libcurl)
pcreport_add_test(tst_weather_client SOURCES tst_weather_client.cpp
  LIBS pcreport_weather pcreport_fake_http CURL::libcurl)
