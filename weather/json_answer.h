#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonParseError>

/// QJsonDocument::fromJson for the answers of the web services, refusing an
/// object that names one key twice (QJsonParseError::IllegalValue at the
/// repeated key): Qt 5 leaks the value it drops (docs/DESIGN.md, "a weather
/// or city answer that names a key twice").
QJsonDocument parseJsonAnswer(const QByteArray &body, QJsonParseError *error);
