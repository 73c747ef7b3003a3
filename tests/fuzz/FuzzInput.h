#pragma once

// Splits a fuzzer's bytes into fields, so one input drives several values.

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace pacs::fuzz {

// The input cut at every "\n" into at least `count` fields (missing ones empty),
// each read as UTF-8 (malformed bytes become U+FFFD, as from the network).
inline QList<QString> fields(const uint8_t *data, size_t size, int count)
{
    QList<QString> out;
    for (const QByteArray &part : QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).split('\n'))
        out << QString::fromUtf8(part);
    while (out.size() < count)
        out << QString();
    return out;
}

} // namespace pacs::fuzz
