#pragma once

#include "weather/weather_client.h"

#include <QObject>

/// Passes a client's signals on from the thread that constructs it. A
/// QSignalSpy on the client itself would record on the weather thread while
/// the test reads it; spying on the relay keeps spy and test on one thread.
class WeatherSignalRelay : public QObject
{
    Q_OBJECT
public:
    explicit WeatherSignalRelay(QWeatherClient *client)
    {
        connect(client, &QWeatherClient::weatherUpdated, this, &WeatherSignalRelay::weatherUpdated,
                Qt::QueuedConnection);
        connect(client, &QWeatherClient::errorOccurred, this, &WeatherSignalRelay::errorOccurred,
                Qt::QueuedConnection);
    }

signals:
    void weatherUpdated(float temperature, uchar descriptionId);
    void errorOccurred(QString error);
};
