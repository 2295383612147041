#pragma once

#include <QByteArray>

#include <atomic>
#include <string>

/// Built-in IP geolocation service.
constexpr const char kDefaultGeoBaseUrl[] = "http://ip-api.com";

/// Asks the geolocation service at `baseUrl` + "/json" for this machine's
/// city. Returns the city in UTF-8, empty on every kind of failure. Setting
/// `*abortFlag` from another thread makes it give up early.
std::string lookupCityByIp(const std::string &baseUrl = kDefaultGeoBaseUrl,
                           long timeoutSeconds = 10, const std::atomic<bool> *abortFlag = nullptr);

/// Decodes the geolocation answer: the "city" string when "status" is
/// exactly "success", else empty.
std::string decodeCityAnswer(const QByteArray &body);
