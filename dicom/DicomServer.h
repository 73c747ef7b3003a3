#pragma once

#include "dicom/toolkit/ToolkitEvents.h"
#include "dicom/toolkit/ToolkitImageList.h"
#include "dicom/toolkit/ToolkitListener.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace pacs {
class ActivityLog;
class CallerAccess;
class HisFeedback;
class HomeFolder;
class ImageReception;
class QueryService;
class RetrieveService;
class Prompter;
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
    DicomServer(const HomeFolder &home, ActivityLog &log, ServerOptions &options, db::ArchiveConnection &connection,
                QObject *parent = nullptr);
    ~DicomServer() override;

    toolkit::ToolkitListener &listener() { return m_listener; }
    ImageReception &reception() { return *m_reception; }
    HisFeedback &his() { return *m_his; }
    QueryService &query() { return *m_query; }
    RetrieveService &retrieve() { return *m_retrieve; }

    // The main window's "Auto Update Study and Pat Data", mirrored here.
    void setUpdateImageData(bool on) { m_updateImageData = on; }
    bool updateImageData() const { return m_updateImageData; }

    // Rows whose file write was cut short (the program was killed between
    // row and file) are removed, so no row points to a missing file; returns
    // how many. Run at start-up, before listening.
    int repairInterruptedWrites();

    // The site profile's HIS connection, opened once at start-up.
    void LoadCustomDB(Prompter *prompter);

    // The main viewer's image list: an image that needs the operator's eye.
    void showInViewer(const toolkit::ToolkitImage &image);
    const toolkit::ToolkitImageList &viewerImages() const { return m_viewerImages; }
    // The browser's image view fills the same list.
    toolkit::ToolkitImageList &viewerImages() { return m_viewerImages; }

    // Starts listening on the configured port when the operator wants it
    // (listening already, it moves to that port).
    void ListenIfEnabled(bool listenChecked);
    void stopListening();
    // Loads the TLS files of the settings for the listener's next start and
    // for outgoing associations; false (and an error line) when they cannot
    // be loaded, which keeps the listener and outgoing sends from running
    // unprotected. Every start of the listener applies them.
    bool applyTlsSettings();
    // Port is stored on every keystroke, so the listener does not follow each
    // one: listening, it moves to the configured port when that differs from
    // the one it was started on (the settings dialog calls this on closing).
    void followPortChange();

    // "Stop Connection": the next received image is refused.
    void requestStopConnection() { m_stopConnectionRequested = true; }
    bool takeStopConnectionRequest();
    bool stopConnectionRequested() const { return m_stopConnectionRequested; }
    bool stopButtonVisible() const { return m_stopButtonVisible; }
    void setStopButtonVisible(bool visible);

    // The receive indicator: a dot per received image, cleared at 19.
    void TickReceiveIndicator();
    const QString &receiveIndicator() const { return m_receiveIndicator; }

    // Where completed actions lead in other parts of the program.
    void setQueueImage(std::function<void(const QString &uid)> queue) { m_queueImage = std::move(queue); }
    void setOutboxLog(std::function<void(const QString &)> log) { m_outboxLog = std::move(log); }

    // ToolkitEvents
    void associationRequest(toolkit::ToolkitConnection &connection, bool &isOK) override;
    void verifyReceived(toolkit::ToolkitConnection &connection, int &status) override;
    void imageReceived(toolkit::ToolkitConnection &connection, toolkit::ToolkitImage &image) override;
    void queryRequest(toolkit::ToolkitConnection &connection) override;
    void actionUpdate(toolkit::ToolkitConnection &connection, const QString &action, const QString &tag,
                      int responseType, int lastResponse) override;
    void actionComplete(toolkit::ToolkitConnection &connection, const QString &action, const QString &tag,
                        bool success, const QString &errorMessage) override;
    void connectionError(toolkit::ToolkitConnection &connection, const QString &errorMessage) override;

signals:
    void receiveIndicatorChanged(const QString &caption);
    void stopButtonVisibilityChanged(bool visible);
    void listeningChanged(bool listening);
    void viewerImagesChanged();

private:
    void completeSaveImage(toolkit::ToolkitConnection &connection);
    void saveImageFailed(const QString &tag);
    void setReceiveIndicator(const QString &caption);

    void forgetPendingWrite(toolkit::ToolkitConnection &connection);
    QString tlsSignature() const; // the TLS settings, to tell when they changed

    ActivityLog &m_log;
    ServerOptions &m_options;
    db::ArchiveConnection &m_connection;
    toolkit::ToolkitListener m_listener;
    std::unique_ptr<HisFeedback> m_his;
    std::unique_ptr<ImageReception> m_reception;
    std::unique_ptr<RetrieveService> m_retrieve;
    std::unique_ptr<CallerAccess> m_access;
    QString m_appliedTls; // tlsSignature() when the TLS settings were last applied
    std::unique_ptr<QueryService> m_query;
    toolkit::ToolkitImageList m_viewerImages;
    bool m_updateImageData = false;
    bool m_stopConnectionRequested = false;
    bool m_stopButtonVisible = false;
    QString m_receiveIndicator = QStringLiteral(".");
    QString m_listenedPort; // the port text listening was started with
    std::function<void(const QString &)> m_queueImage;
    std::function<void(const QString &)> m_outboxLog;
};

} // namespace pacs
