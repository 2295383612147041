#pragma once

#include <QString>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "city_lookup.h"

typedef void CURL;

/// Built-in weather service and the key we use with it.
constexpr const char kDefaultWeatherBaseUrl[] = "http://api.openweathermap.org";
constexpr const char kWeatherApiKey[] = "9c0e7b41f2a35d68e1b04c7a93f5d2e8";

/// Where the client sends its requests and how long it waits. Defaults are
/// the real services; tests point them at a local server and shorten times.
struct WeatherHooks
{
    QString geoBaseUrl = QString::fromLatin1(kDefaultGeoBaseUrl);
    QString weatherBaseUrl = QString::fromLatin1(kDefaultWeatherBaseUrl);
    long lookupTimeoutSeconds = 10;
    long weatherTimeoutSeconds = 30;
    int refreshIntervalMs = 30 * 60 * 1000;
    /// After a failed attempt (no city found, or no weather decoded) the
    /// next comes this soon, then twice as late each time, up to
    /// retryMaxIntervalMs, until one succeeds.
    int retryFirstIntervalMs = 30 * 1000;
    int retryMaxIntervalMs = 5 * 60 * 1000;
};

/// Outcome of decoding one weather answer.
struct WeatherDecode
{
    bool ok = false;
    float temperature = 0.0f;
    uchar descriptionId = 60;
    QString error; ///< set when !ok
};

/// The weather thread: looks up the city and asks for its weather at once,
/// then every refresh interval; every request ends in exactly one of
/// weatherUpdated or errorOccurred. A failed attempt is made again soon,
/// looking the city up until one has found it (docs/DESIGN.md, "a failed
/// weather attempt").
///
/// Every request runs on the client's own thread, which keeps an event loop
/// and the refresh timer, so the creator's thread is never blocked by the
/// network. The thread starts the first time the creator's thread returns to
/// its event loop, not in the constructor: connections made right after
/// construction are then in place before the thread exists, see every
/// outcome, and never touch the signal tables while the thread emits (its
/// first emission is QThread::started). A client destroyed before then never
/// starts. Later connections are made under holdOutcomes(). libcurl's
/// global set-up runs once, with the first transfer of any client
/// (weather/curl_api.h); nothing cleans it up.
class QWeatherClient : public QThread
{
    Q_OBJECT
public:
    QWeatherClient(const QString &city, const QString &apiKey, QObject *parent = nullptr,
                   WeatherHooks hooks = WeatherHooks());
    /// Stops the thread, cutting short any request in progress; outcomes of
    /// a request cut short this way are not emitted.
    ~QWeatherClient() override;

    /// Maps a weather condition code to its description index (0 to 60).
    static uchar mapWeatherCode(int code);
    /// Decodes a weather answer without emitting anything.
    static WeatherDecode decodeWeatherResponse(const QByteArray &utf8Body);

    /// Decodes `body` and emits exactly one signal.
    void parseWeatherResponse(const QString &body);

    /// Held while connecting to or disconnecting from a client that may be
    /// running: the client emits only under this lock. Qt 5 hands a new
    /// connection to a thread that is emitting with no ordering at all (a
    /// relaxed store of the connection it has just filled in), so the two
    /// must never overlap.
    std::unique_lock<std::mutex> holdOutcomes();

signals:
    void weatherUpdated(float temperature, uchar descriptionId);
    void errorOccurred(QString error);

protected:
    void run() override;

private:
    /// The lookup while no city is known, then the weather request. True
    /// when the city is known and the weather was decoded. Runs on the
    /// weather thread.
    bool attempt();
    /// One weather request for the current city; emits exactly one signal
    /// unless the client is being destroyed, and returns whether the weather
    /// was decoded. Runs on the weather thread.
    bool fetchWeather();
    bool deliver(const WeatherDecode &outcome);

    QString city;
    QString apiKey;
    CURL *curlHandle = nullptr; ///< used only by the weather thread
    bool m_cityFound = false;   ///< a lookup has named the city; weather thread only
    WeatherHooks m_hooks;

    std::atomic<bool> m_stopping{false};
    std::mutex m_outcomeMutex; ///< held by every emission; see holdOutcomes()
    std::condition_variable m_runBegun;
    /// run() has begun, so QThread::started has been emitted; m_outcomeMutex
    /// guards it.
    bool m_running = false;
    /// Taken by the thread's last step and by the destructor after wait(), so
    /// ThreadSanitizer sees that everything the thread did comes first.
    std::mutex m_finishedMutex;
};
