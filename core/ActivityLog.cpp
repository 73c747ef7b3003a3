#include "core/ActivityLog.h"

#include "core/EventYield.h"
#include "core/TextValues.h"

#include <QCoreApplication>
#include <QDateTime>

namespace pacs {

namespace {
const QString kCrLf = QStringLiteral("\r\n");
// A busy server writes several lines per image; the boxes keep the newest
// few megabytes so that a long run between clearings cannot exhaust memory.
constexpr qsizetype kLogLimit = 4 * 1024 * 1024;
constexpr qsizetype kErrorLimit = 8 * 1024 * 1024;
} // namespace

ActivityLog::ActivityLog(QObject *parent) : QObject(parent)
{
    m_errors.push_back(QString::fromLatin1(ErrorBoxDesignText));
    m_errorSize = m_errors.back().size();
}

void ActivityLog::prepend(std::deque<QString> &chunks, qsizetype &size, const QString &chunk, qsizetype limit)
{
    chunks.push_front(chunk);
    size += chunk.size();
    while (size > limit && chunks.size() > 1) {
        size -= chunks.back().size();
        chunks.pop_back();
    }
}

QString ActivityLog::join(const std::deque<QString> &chunks)
{
    QString text;
    qsizetype total = 0;
    for (const QString &c : chunks)
        total += c.size();
    text.reserve(total);
    for (const QString &c : chunks)
        text.append(c);
    return text;
}

void ActivityLog::WriteLog(const QString &text)
{
    if (!m_enabled)
        return;
    writeLogDirect(text);
    yieldToEvents();
}

void ActivityLog::writeLogDirect(const QString &text)
{
    const QString chunk = text + kCrLf;
    prepend(m_log, m_logSize, chunk, kLogLimit);
    emit logLineAdded(chunk);
}

void ActivityLog::prependRaw(const QString &text)
{
    prepend(m_log, m_logSize, text, kLogLimit);
    emit logLineAdded(text);
}

void ActivityLog::ReportError(const QString &text, bool journal)
{
    const QString line = generalDateTime(QDateTime::currentDateTime()) + QStringLiteral(" :  ") + text + kCrLf;
    prepend(m_errors, m_errorSize, line, kErrorLimit);
    emit errorLineAdded(line);
    if (journal)
        LogEvent(text, QString(), 0);
    emit showLogPage();
}

void ActivityLog::LogEvent(const QString &description, const QString &patientId, int severity)
{
    if (m_journal)
        m_journal(description, patientId, severity);
}

void ActivityLog::addReceived(const QString &text)
{
    const QString chunk = text + kCrLf;
    prepend(m_received, m_receivedSize, chunk, kLogLimit);
    emit receivedLineAdded(chunk);
}

void ActivityLog::tickClearTimer()
{
    ++m_clearCounter;
    if (m_clearCounter > ClearAfterTicks - 1) {
        m_clearCounter = 0;
        clearLog();
        clearReceived();
    }
}

void ActivityLog::clearLog()
{
    m_log.clear();
    m_logSize = 0;
    emit logCleared();
}

void ActivityLog::clearErrors()
{
    m_errors.clear();
    m_errorSize = 0;
    emit errorsCleared();
}

void ActivityLog::clearReceived()
{
    m_received.clear();
    m_receivedSize = 0;
    emit receivedCleared();
}

QString ActivityLog::logText() const
{
    return join(m_log);
}

QString ActivityLog::errorText() const
{
    return join(m_errors);
}

QString ActivityLog::receivedText() const
{
    return join(m_received);
}

} // namespace pacs
