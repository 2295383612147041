#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonParseError>

/// QJsonDocument::fromJson for the answers of the web services, refusing an
/// object that names one key twice (QJsonParseError::IllegalValue at the
/// repeated key). Qt 5's parser keeps the last value of a repeated key and
/// leaks an array or object given before it, so a hostile answer could make
/// the program grow with every request; no real answer repeats a key.
QJsonDocument parseJsonAnswer(const QByteArray &body, QJsonParseError *error);
