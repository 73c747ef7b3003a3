#pragma once

// ToolkitConnection: one association. Incoming ones are made by the listener
// for every accepted association and handed to the events; outgoing ones come
// from ToolkitListener::newConnection(). Call its methods on the main thread.
//
// Statuses: setStatus() records the status of the request being handled; a
// pending value (0xFF00/0xFF01) does not end it. The answer goes out when the
// event handler and every action it started have completed. Without a final
// status the peer gets a failure (0xC001); for C-MOVE/C-GET with failed
// sub-operations 0xB000 (some failed) or 0xA702 (all failed), and a success
// set by the program is turned into these when sub-operations failed.
//
// Asynchronous actions run off the main thread and end in actionComplete
// (outgoingActionComplete for outgoing connections):
//   saveImageAsync -> "SaveImage", connectTo -> "SetDestination",
//   sendFilesAsync -> "SendImages", verifyAsync -> "Sendverify", closeAssociation (outgoing) -> "Close".

#include "dicom/toolkit/ToolkitDataset.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

struct T_ASC_Association;

namespace pacs::toolkit {

namespace detail {
struct EventSink;
struct FileHeader;
class SaveHold;
class ScuAssociation;
class SerialExecutor;
}

class ToolkitImage;
class ToolkitSequence;

struct ToolkitContext
{
    int id = 0;
    QString abstractSyntax;
    QStringList transferSyntaxes;
};

class ToolkitConnection : public std::enable_shared_from_this<ToolkitConnection>
{
public:
    ~ToolkitConnection();
    ToolkitConnection(const ToolkitConnection &) = delete;
    ToolkitConnection &operator=(const ToolkitConnection &) = delete;

    bool isOutgoing() const { return m_outgoing; }

    // Association and request data.
    QString callingTitle() const { return m_callingTitle; }
    QString calledTitle() const { return m_calledTitle; }
    QString remoteAddress() const { return m_remoteAddress; }
    QList<ToolkitContext> offeredContexts() const { return m_offered; }
    QString commandName() const { return m_commandName; }   // "C-ECHO", "C-STORE", "C-FIND", "C-MOVE", "C-GET"
    QString queryRoot() const { return m_queryRoot; }       // "PATIENT" or "STUDY"
    ToolkitDataset requestIdentifier() const { return m_requestIdentifier; }
    QString moveDestination() const { return m_moveDestination; }
    ToolkitDataset statusDataset() const { return m_statusDataset; } // goes with the final status
    QString userTag() const { return m_userTag; }
    void setUserTag(const QString &tag) { m_userTag = tag; }
    QString defaultClassUid() const { return m_defaultClassUid; }
    void setDefaultClassUid(const QString &uid) { m_defaultClassUid = uid; }
    int connectionSetting() const { return m_connectionSetting; }
    void setConnectionSetting(int value) { m_connectionSetting = value; }

    // Why an association the associationRequest handler does not accept is
    // rejected (A-ASSOCIATE-RJ, rejected permanently by the service user).
    enum class Rejection { NoReason, CallingTitleNotRecognized, CalledTitleNotRecognized };
    void setRejection(Rejection reason) { m_rejection = reason; }
    // The association came over DICOM TLS.
    bool isSecure() const { return m_secure; }

    // Answers.
    void setStatus(int status);
    int status() const; // last final status set for the current request, -1 when none
    void sendResponses(const ToolkitSequence &responses, int status);

    // Asynchronous actions.
    void saveImageAsync(const ToolkitImage &image, const QString &path, bool overwrite, const QString &transferSyntaxUid);
    // Files made durable together with every later save of this connection,
    // before it completes (the archive's log, holding the image's row).
    void setDurableWithSave(const QStringList &files) { m_durableWithSave = files; }
    void connectTo(const QString &address, int port, const QString &callingTitle, const QString &calledTitle);
    // Syntax for the images of later sends (e.g. JPEG 2000, "1.2.840.10008.1.2.4.91")
    // and the quality 1..100 as typed (1 highest; see detail/J2kCodec.h for
    // JPEG 2000). Applied per image where the peer accepted that syntax and the
    // pixels allow it; otherwise the image goes in a syntax the peer accepted.
    void setCompression(const QString &transferSyntaxUid, const QVariant &quality);
    void sendFilesAsync(const QStringList &paths); // empty entries name no file
    void verifyAsync();

    // State of the last send and of the connection.
    int actionResultCode() const { return m_actionResultCode; } // failed sub-operations of the last send; 0 = all sent
    int completedCount() const { return m_completed; }
    int failedCount() const { return m_failed; }
    int warningCount() const { return m_warning; }
    int remainingCount() const { return m_remaining; }
    bool connectionReady() const; // no action running
    void closeAssociation();
    void resetConnection(int = 0, int = 0);
    void abortConnection();

private:
    friend class ToolkitListener;
    struct ActionResult
    {
        bool success = true;
        QString error;
        int resultCode = 0;
    };
    struct Request;
    enum class Runner { Pool, Network };

    ToolkitConnection(bool outgoing, std::shared_ptr<detail::EventSink> sink);

    // Incoming side, on the association's own thread.
    void serve(T_ASC_Association *assoc);
    bool negotiate();
    void handleEcho(Request &request);
    void handleStore(Request &request);
    void handleQuery(Request &request);
    void finishQuery(Request &request);
    // `meanwhile` runs on this thread while the handler runs on the main thread.
    void raise(const QString &command, std::function<void(class ToolkitEvents &, ToolkitConnection &)> handler,
               const std::function<void()> &meanwhile = {});
    void serviceUntilIdle();
    void sendSubOperationProgress(const Request &request);
    template <typename Rsp, typename Rq>
    void fillPendingProgress(Rsp &rsp, const Rq &rq) const;
    void stopFromListener(); // any thread
    void noteFailure(const QString &text); // network thread: the first reason the association broke

    // Failures no action completion reports, to connectionError.
    void reportError(const QString &message); // any thread
    void deliverError(const QString &message); // main thread
    void releaseHeldSaves(bool place);         // main thread, after a handler

    // Actions.
    void startAction(const QString &name, std::function<ActionResult()> work, Runner runner);
    void finishAction(const QString &name, const QString &tag, const ActionResult &result);
    bool postNetworkTask(std::function<void()> task);
    ActionResult sendFiles(const QStringList &paths, int compression, int quality);
    ActionResult openDestination(const std::vector<detail::FileHeader> &files, int compression);
    void closeDestination();
    void raiseUpdate(const QString &action, int lastResponse);

    const bool m_outgoing;
    std::shared_ptr<detail::EventSink> m_sink;

    QString m_callingTitle, m_calledTitle, m_remoteAddress;
    Rejection m_rejection = Rejection::NoReason;
    bool m_secure = false;
    QList<ToolkitContext> m_offered;
    QString m_commandName, m_queryRoot, m_moveDestination;
    ToolkitDataset m_requestIdentifier, m_statusDataset;
    QString m_userTag, m_defaultClassUid;
    QStringList m_durableWithSave;
    int m_connectionSetting = 0;
    int m_compression = 0; // E_TransferSyntax, EXS_Unknown when none
    int m_quality = 0;

    // Destination of connectTo (C-MOVE target or the outgoing peer); used on the network thread.
    struct Destination
    {
        QString address, calling, called;
        int port = 0;
    } m_destination;
    std::unique_ptr<detail::ScuAssociation> m_scu;
    std::unique_ptr<detail::SerialExecutor> m_executor; // outgoing connections
    std::atomic<int> m_scuSocket{-1};

    std::atomic<int> m_actionResultCode{0}, m_completed{0}, m_failed{0}, m_warning{0}, m_remaining{0};
    std::atomic<bool> m_cancel{false};
    QStringList m_failedUids; // network thread

    // Hand-over between the association's thread and the main thread.
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_tasks;
    bool m_handlerActive = false;
    // While a handler of this connection runs on the main thread: the saves
    // it starts wait with their files until it has returned.
    std::atomic<bool> m_inHandler{false};
    std::vector<std::shared_ptr<detail::SaveHold>> m_heldSaves; // main thread
    int m_pendingActions = 0;
    bool m_inRequest = false;
    bool m_stopped = false;
    bool m_closeRequested = false;
    std::optional<int> m_status;
    T_ASC_Association *m_assoc = nullptr;
    std::atomic<int> m_socket{-1};
    Request *m_request = nullptr; // network thread
    QString m_failure;            // network thread
};

} // namespace pacs::toolkit
