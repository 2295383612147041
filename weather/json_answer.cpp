#include "json_answer.h"

#include <QJsonArray>

#include <set>
#include <vector>

namespace {

// Qt's parser refuses deeper documents; past this the scan has nothing to add.
constexpr std::size_t kDeepestNesting = 1024;

struct Level
{
    bool object = false;
    bool expectKey = false;
    std::set<QByteArray> keys;
};

/// A key as the parser will read it: escapes decoded, so that "a" and
/// "\u0061" are one key, and cut at a raw NUL byte, where Qt's parser ends a
/// key (so "a<NUL>x" and "a<NUL>y" are one key to it). `quoted` includes both
/// quotes.
QByteArray keyText(const QByteArray &quoted)
{
    QByteArray text = quoted.mid(1, quoted.size() - 2);
    const int nul = text.indexOf('\0');
    if (nul >= 0)
        text.truncate(nul);
    if (!text.contains('\\'))
        return text;
    // An array of one string has no key to repeat.
    return QJsonDocument::fromJson("[\"" + text + "\"]").array().at(0).toString().toUtf8();
}

/// Offset of the first key repeated within one object, -1 when there is none
/// (or the text is too broken for the parser to get that far).
int repeatedKeyAt(const QByteArray &body)
{
    std::vector<Level> levels;
    const int size = body.size();
    for (int i = 0; i < size; ++i) {
        const char c = body.at(i);
        if (c == '{' || c == '[') {
            if (levels.size() == kDeepestNesting)
                return -1;
            levels.emplace_back();
            levels.back().object = c == '{';
            levels.back().expectKey = c == '{';
        } else if (c == '}' || c == ']') {
            if (levels.empty())
                return -1;
            levels.pop_back();
        } else if (c == ',') {
            if (!levels.empty() && levels.back().object)
                levels.back().expectKey = true;
        } else if (c == '"') {
            const int start = i;
            for (++i; i < size && body.at(i) != '"'; ++i) {
                if (body.at(i) == '\\')
                    ++i;
            }
            if (i >= size)
                return -1; // unterminated: the parser refuses it
            if (levels.empty() || !levels.back().expectKey)
                continue;
            levels.back().expectKey = false;
            if (!levels.back().keys.insert(keyText(body.mid(start, i - start + 1))).second)
                return start;
        }
    }
    return -1;
}

} // namespace

QJsonDocument parseJsonAnswer(const QByteArray &body, QJsonParseError *error)
{
    const int repeated = repeatedKeyAt(body);
    if (repeated < 0)
        return QJsonDocument::fromJson(body, error);
    if (error != nullptr) {
        error->error = QJsonParseError::IllegalValue;
        error->offset = repeated;
    }
    return QJsonDocument();
}
