#include "weather_client.h"

#include "http_get.h"
#include "json_answer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>

#include "curl_api.h"

namespace {

// Readings of the service fall in this band; anything else is a broken
// answer, and keeping to it also keeps the float conversion well defined.
constexpr double kLowestTemperature = -100.0;
constexpr double kHighestTemperature = 100.0;

// A whole JSON number that fits an int gives that number; anything else
// (strings, fractions, huge values) gives `fallback`, with no undefined
// double-to-int conversion on the way.
int readWholeNumber(const QJsonValue &value, int fallback)
{
    if (!value.isDouble())
        return fallback;
    const double number = value.toDouble();
    if (!(number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max()))
        return fallback;
    const int whole = static_cast<int>(number);
    return whole == number ? whole : fallback;
}

WeatherDecode failure(const QString &message)
{
    WeatherDecode outcome;
    outcome.error = message;
    return outcome;
}

} // namespace

QWeatherClient::QWeatherClient(const QString &city, const QString &apiKey, QObject *parent,
                               WeatherHooks hooks)
    : QThread(parent), city(city), apiKey(apiKey), m_hooks(std::move(hooks))
{
    // Queued to this object: it runs when the creator's thread is next in
    // its event loop, after the connections it makes on return from here.
    // Posted events die with the object, so a client destroyed first never
    // starts. The new thread emits QThread::started outside our lock; waiting
    // until run() has begun puts that emission before anything the creator
    // connects later.
    QMetaObject::invokeMethod(
        this,
        [this] {
            std::unique_lock<std::mutex> lock(m_outcomeMutex);
            start(QThread::InheritPriority);
            if (isRunning())
                m_runBegun.wait(lock, [this] { return m_running; });
        },
        Qt::QueuedConnection);
}

QWeatherClient::~QWeatherClient()
{
    m_stopping = true;
    // A transfer in progress notices m_stopping in its progress check within
    // about a second; quit() ends the event loop, or makes a later exec()
    // return at once.
    quit();
    wait();
    const std::lock_guard<std::mutex> finished(m_finishedMutex);
    if (curlHandle) {
        curlapi::easy_cleanup(curlHandle);
        curlHandle = nullptr;
    }
}

void QWeatherClient::run()
{
    {
        const std::lock_guard<std::mutex> lock(m_outcomeMutex);
        m_running = true;
    }
    m_runBegun.notify_all();

    // Created here so that it belongs to this thread and its refreshes and
    // retries run here, never on the creator's thread. Each attempt sets
    // the time of the next, measured from its end, so attempts never overlap.
    int retryMs = m_hooks.retryFirstIntervalMs;
    QTimer timer;
    timer.setSingleShot(true);
    const auto attemptAndSchedule = [this, &timer, &retryMs] {
        const bool ok = attempt();
        if (m_stopping)
            return;
        if (ok) {
            retryMs = m_hooks.retryFirstIntervalMs;
            timer.start(m_hooks.refreshIntervalMs);
        } else {
            timer.start(std::min(retryMs, m_hooks.retryMaxIntervalMs));
            retryMs = retryMs > m_hooks.retryMaxIntervalMs / 2 ? m_hooks.retryMaxIntervalMs
                                                               : retryMs * 2;
        }
    };
    connect(&timer, &QTimer::timeout, this, attemptAndSchedule, Qt::DirectConnection);

    attemptAndSchedule();
    if (!m_stopping)
        exec();
    // Pairs with the lock the destructor takes after wait(): QThread::wait()
    // already orders everything done here before its return, but through
    // primitives that ThreadSanitizer cannot see unless Qt is built for it.
    const std::lock_guard<std::mutex> finished(m_finishedMutex);
}

bool QWeatherClient::attempt()
{
    if (!m_cityFound) {
        const std::string found = lookupCityByIp(m_hooks.geoBaseUrl.toStdString(),
                                                 m_hooks.lookupTimeoutSeconds, &m_stopping);
        // Read as C text: a city with a NUL in it is cut there. A failed
        // lookup leaves the city we have, and the weather is asked for it.
        const QString name = QString::fromUtf8(found.c_str());
        if (!found.empty())
            city = name;
        m_cityFound = !name.isEmpty();
    }
    if (m_stopping)
        return false;
    const bool weatherOk = fetchWeather();
    return weatherOk && m_cityFound;
}

bool QWeatherClient::fetchWeather()
{
    if (curlHandle) {
        curlapi::easy_cleanup(curlHandle);
        curlHandle = nullptr;
    }
    curlHandle = curlapi::easy_init();
    if (!curlHandle)
        return deliver(failure(QStringLiteral("Failed to initialize libcurl")));

    // Every byte but ASCII letters, digits and "-._~" is escaped, in upper-case hex.
    const QByteArray url = m_hooks.weatherBaseUrl.toUtf8() +
                           "/data/2.5/weather?q=" + city.toUtf8().toPercentEncoding() +
                           "&appid=" + apiKey.toUtf8().toPercentEncoding() +
                           "&units=metric&lang=zh_cn";
    QByteArray body;
    curlapi::easy_setopt(curlHandle, CURLOPT_URL, url.constData());
    curlapi::easy_setopt(curlHandle, CURLOPT_WRITEFUNCTION, &collectToByteArray);
    curlapi::easy_setopt(curlHandle, CURLOPT_WRITEDATA, &body);
    curlapi::easy_setopt(curlHandle, CURLOPT_USERAGENT, "VurudedIva/1.0");
    curlapi::easy_setopt(curlHandle, CURLOPT_TIMEOUT, m_hooks.weatherTimeoutSeconds);
    setSharedOptions(curlHandle, &m_stopping);
    const CURLcode result = curlapi::easy_perform(curlHandle);
    curlapi::easy_cleanup(curlHandle);
    curlHandle = nullptr;

    // Cut short by the destructor: nobody is left to hear about it.
    if (m_stopping)
        return false;
    if (result != CURLE_OK)
        return deliver(failure(QStringLiteral("libcurl error: ") +
                               QString::fromUtf8(curlapi::easy_strerror(result))));
    // Through QString, as parseWeatherResponse reads an answer: bytes that
    // are not UTF-8 become U+FFFD before the decoder sees them.
    return deliver(decodeWeatherResponse(QString::fromUtf8(body).toUtf8()));
}

void QWeatherClient::parseWeatherResponse(const QString &body)
{
    deliver(decodeWeatherResponse(body.toUtf8()));
}

WeatherDecode QWeatherClient::decodeWeatherResponse(const QByteArray &utf8Body)
{
    QJsonParseError parseError;
    const QJsonDocument document = parseJsonAnswer(utf8Body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return failure(QStringLiteral("JSON 解析失败: ") + parseError.errorString());
    if (!document.isObject())
        return failure(QStringLiteral("无效的 JSON 响应"));

    const QJsonObject answer = document.object();
    // Without "cod" the answer counts as a success; a "cod" that is a string,
    // even "200", is a failure.
    if (answer.contains(QLatin1String("cod")) &&
        readWholeNumber(answer.value(QLatin1String("cod")), 0) != 200) {
        const QString message =
            answer.value(QLatin1String("message")).toString(QStringLiteral("Unknown error"));
        return failure(QStringLiteral("API 错误: ") + message);
    }

    const double temperature =
        answer.value(QLatin1String("main")).toObject().value(QLatin1String("temp")).toDouble(0.0);
    if (!std::isfinite(temperature) || temperature < kLowestTemperature ||
        temperature > kHighestTemperature)
        return failure(QStringLiteral("温度无效: ") + QString::number(temperature));

    int code = 0;
    const QJsonArray conditions = answer.value(QLatin1String("weather")).toArray();
    if (!conditions.isEmpty())
        code = readWholeNumber(conditions.first().toObject().value(QLatin1String("id")), 0);

    WeatherDecode outcome;
    outcome.ok = true;
    outcome.temperature = static_cast<float>(temperature);
    outcome.descriptionId = mapWeatherCode(code);
    return outcome;
}

std::unique_lock<std::mutex> QWeatherClient::holdOutcomes()
{
    return std::unique_lock<std::mutex>(m_outcomeMutex);
}

bool QWeatherClient::deliver(const WeatherDecode &outcome)
{
    const std::lock_guard<std::mutex> lock(m_outcomeMutex);
    if (outcome.ok)
        emit weatherUpdated(outcome.temperature, outcome.descriptionId);
    else
        emit errorOccurred(outcome.error);
    return outcome.ok;
}
