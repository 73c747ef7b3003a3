#pragma once

#include <QObject>
#include <QString>
#include <deque>
#include <functional>

namespace pacs {

// The operator's three views of what the server does: the activity log
// (newest first, gated by "Enable Log", cleared every two hours), the error
// box (time-stamped, newest first, cleared only by the operator) with the
// received-images box beside it, and the event journal, which is written
// through a callback into the archive's Events table.
class ActivityLog : public QObject
{
    Q_OBJECT
public:
    using JournalWriter = std::function<void(const QString &description, const QString &patientId, int severity)>;

    static constexpr int ClearAfterTicks = 120; // Timer1 ticks of a minute
    static constexpr const char *ErrorBoxDesignText = "---\r\n";

    explicit ActivityLog(QObject *parent = nullptr);

    void setJournalWriter(JournalWriter writer) { m_journal = std::move(writer); }

    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled) { m_enabled = enabled; }

    // A progress line, when "Enable Log" is on; then yields to the event loop.
    void WriteLog(const QString &text);
    // A line that shows whatever "Enable Log" says (connection messages).
    void writeLogDirect(const QString &text);
    // Text put in front of the log without a line break (listener errors).
    void prependRaw(const QString &text);
    // Time-stamped line in the error box; with journal, also an Events row.
    void ReportError(const QString &text, bool journal);
    // Straight to the journal.
    void LogEvent(const QString &description, const QString &patientId, int severity);
    // A line of the received-images box.
    void addReceived(const QString &text);

    // One tick of the minute timer; clears the log and received box every 120.
    void tickClearTimer();
    int clearCounter() const { return m_clearCounter; }

    void clearLog();
    void clearErrors();
    void clearReceived();

    QString logText() const;
    QString errorText() const;
    QString receivedText() const;

signals:
    void logLineAdded(const QString &text);   // text as prepended, line break included
    void errorLineAdded(const QString &line); // time-stamped line, line break included
    void receivedLineAdded(const QString &text);
    void logCleared();
    void errorsCleared();
    void receivedCleared();
    void showLogPage(); // an error wants the "&Log" page in view

private:
    void prepend(std::deque<QString> &chunks, qsizetype &size, const QString &chunk, qsizetype limit);
    static QString join(const std::deque<QString> &chunks);

    JournalWriter m_journal;
    bool m_enabled = true;
    int m_clearCounter = 0;
    std::deque<QString> m_log;
    std::deque<QString> m_errors;
    std::deque<QString> m_received;
    qsizetype m_logSize = 0;
    qsizetype m_errorSize = 0;
    qsizetype m_receivedSize = 0;
};

} // namespace pacs
