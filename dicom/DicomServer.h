#pragma once

#include "toolkit/ToolkitEvents.h"
#include "toolkit/ToolkitListener.h"

#include <QObject>
#include <QString>
#include <functional>

namespace pacs {
class ActivityLog;
class ServerOptions;
namespace db {
class ArchiveConnection;
}

// The archive as a DICOM service class provider: the incoming listener
// (`Server`), acceptance of associations, verification, and the completion
// of actions that run on incoming associations. Everything here runs on the
// main thread, called by the toolkit's events.
class DicomServer : public QObject, public toolkit::ToolkitEvents
{
    Q_OBJECT
public:
    DicomServer(ActivityLog &log, ServerOptions &options, db::ArchiveConnection &connection, QObject *parent = nullptr);
    ~DicomServer() override;

    toolkit::ToolkitListener &listener() { return m_listener; }

    // Starts listening on the configured port when the operator wants it.
    void listenIfEnabled(bool listenChecked);
    void stopListening();

    // "Stop Connection": the next received image is refused.
    void requestStopConnection() { m_stopConnectionRequested = true; }
    bool takeStopConnectionRequest();
    bool stopConnectionRequested() const { return m_stopConnectionRequested; }
    bool stopButtonVisible() const { return m_stopButtonVisible; }
    void setStopButtonVisible(bool visible);

    // The receive indicator: a dot per received image, cleared at 19.
    void tickReceiveIndicator();
    const QString &receiveIndicator() const { return m_receiveIndicator; }

    // Where completed actions lead in other parts of the program.
    void setQueueImage(std::function<void(const QString &uid)> queue) { m_queueImage = std::move(queue); }
    void setSendRequestedImages(std::function<void(toolkit::ToolkitConnection &)> send) { m_sendRequestedImages = std::move(send); }
    void setOutboxLog(std::function<void(const QString &)> log) { m_outboxLog = std::move(log); }

    // ToolkitEvents
    void associationRequest(toolkit::ToolkitConnection &connection, bool &isOK) override;
    void verifyReceived(toolkit::ToolkitConnection &connection, int &status) override;
    void actionUpdate(toolkit::ToolkitConnection &connection, const QString &action, const QString &tag,
                      int responseType, int lastResponse) override;
    void actionComplete(toolkit::ToolkitConnection &connection, const QString &action, const QString &tag,
                        bool success, const QString &errorMessage) override;

signals:
    void receiveIndicatorChanged(const QString &caption);
    void stopButtonVisibilityChanged(bool visible);
    void listeningChanged(bool listening);

private:
    void completeSaveImage(toolkit::ToolkitConnection &connection);
    void setReceiveIndicator(const QString &caption);

    ActivityLog &m_log;
    ServerOptions &m_options;
    db::ArchiveConnection &m_connection;
    toolkit::ToolkitListener m_listener;
    bool m_stopConnectionRequested = false;
    bool m_stopButtonVisible = false;
    QString m_receiveIndicator = QStringLiteral(".");
    std::function<void(const QString &)> m_queueImage;
    std::function<void(toolkit::ToolkitConnection &)> m_sendRequestedImages;
    std::function<void(const QString &)> m_outboxLog;
};

} // namespace pacs
