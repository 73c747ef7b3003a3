// Any name value through the splitter the reception and the queries use.

#include "dicom/PersonName.h"

#include <QVariant>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString name = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const pacs::PersonNameParts parts = pacs::SplitPersonName(QVariant(name));
    // The parts go into SQL text between apostrophes: every one is doubled.
    for (const QString &part : {parts.first, parts.middle, parts.last}) {
        if (part.count(QLatin1Char('\'')) % 2 != 0 || part.contains(QLatin1Char('^')))
            std::abort();
        for (qsizetype i = 0; i < part.size(); ++i)
            if (part[i] == QLatin1Char('\'') && (i + 1 == part.size() || part[++i] != QLatin1Char('\'')))
                std::abort();
    }
    return 0;
}
