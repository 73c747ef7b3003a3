#pragma once

#include <QString>

#include <cstdio>

namespace pacs {

// Where a command without a window writes: its result lines to one stream,
// its complaints to the other, each line flushed at once so an administrator
// watching a long run sees it as it happens.
class CommandOutput
{
public:
    CommandOutput(std::FILE *out, std::FILE *err) : m_out(out), m_err(err) {}

protected:
    void print(const QString &text) const { write(m_out, text); }
    void printError(const QString &text) const { write(m_err, text); }

    std::FILE *m_out;
    std::FILE *m_err;

private:
    static void write(std::FILE *stream, const QString &text)
    {
        std::fputs((text + QLatin1Char('\n')).toLocal8Bit().constData(), stream);
        std::fflush(stream);
    }
};

} // namespace pacs
