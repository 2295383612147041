#include "city_lookup.h"

#include "http_get.h"
#include "json_answer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

std::string lookupCityByIp(const std::string &baseUrl, long timeoutSeconds,
                           const std::atomic<bool> *abortFlag)
{
    return decodeCityAnswer(
        QByteArray::fromStdString(httpGetToString(baseUrl + "/json", timeoutSeconds, abortFlag)));
}

std::string decodeCityAnswer(const QByteArray &body)
{
    if (body.isEmpty())
        return std::string();
    QJsonParseError error;
    const QJsonDocument document = parseJsonAnswer(body, &error);
    if (error.error != QJsonParseError::NoError)
        return std::string();
    // An array at the top level gives an empty object, hence no city.
    const QJsonObject answer = document.object();
    if (answer.value(QLatin1String("status")).toString() != QLatin1String("success"))
        return std::string();
    return answer.value(QLatin1String("city")).toString().toStdString();
}
