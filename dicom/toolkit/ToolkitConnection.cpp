#include "dicom/toolkit/ToolkitConnection.h"

#include "dicom/toolkit/ToolkitEncodeQueue.h"
#include "dicom/toolkit/ToolkitEvents.h"
#include "dicom/toolkit/ToolkitImage.h"
#include "dicom/toolkit/ToolkitSequence.h"
#include "dicom/toolkit/detail/EarlyWrite.h"
#include "dicom/toolkit/detail/EventSink.h"
#include "dicom/toolkit/detail/FileHeader.h"
#include "dicom/toolkit/detail/ImageWriter.h"
#include "dicom/toolkit/detail/Runtime.h"
#include "dicom/toolkit/detail/SaveHold.h"
#include "dicom/toolkit/detail/ScuAssociation.h"
#include "dicom/toolkit/detail/WrittenFileWindow.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>
#include <QThreadPool>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>

#include <algorithm>
#include <deque>
#include <future>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <set>
#include <sys/socket.h>

namespace pacs::toolkit {

namespace {
constexpr int kDimseTimeout = 120;

// A final status that tells the sender its object was not taken: anything but
// success, a warning, pending or none set.
bool isRefusal(int status)
{
    if (status < 0 || status == 0 || status == 0x0001 || status == 0x0107 || status == 0x0116)
        return false;
    if (status >= 0xB000 && status <= 0xBFFF)
        return false;
    return status != 0xFF00 && status != 0xFF01;
}

constexpr int kDefaultFailure = 0xC001;    // "not processed": nothing confirmed the request
constexpr int kStalledReadSeconds = 60;    // a peer stuck in the middle of a PDU

bool isPending(int status) { return status == 0xFF00 || status == 0xFF01; }

const std::set<std::string> &supportedAbstractSyntaxes()
{
    static const std::set<std::string> syntaxes = [] {
        std::set<std::string> s{UID_VerificationSOPClass,
                                UID_FINDPatientRootQueryRetrieveInformationModel,
                                UID_MOVEPatientRootQueryRetrieveInformationModel,
                                UID_GETPatientRootQueryRetrieveInformationModel,
                                UID_FINDStudyRootQueryRetrieveInformationModel,
                                UID_MOVEStudyRootQueryRetrieveInformationModel,
                                UID_GETStudyRootQueryRetrieveInformationModel};
        for (int i = 0; i < numberOfDcmAllStorageSOPClassUIDs; ++i)
            s.insert(dcmAllStorageSOPClassUIDs[i]);
        return s;
    }();
    return syntaxes;
}

std::unique_ptr<DcmDataset> toDataset(DcmItem *item)
{
    auto dataset = std::make_unique<DcmDataset>();
    for (unsigned long i = 0; item && i < item->card(); ++i)
        dataset->insert(OFstatic_cast(DcmElement *, item->getElement(i)->clone()), OFTrue);
    return dataset;
}

QString commandText(T_DIMSE_Command command)
{
    switch (command) {
    case DIMSE_C_ECHO_RQ: return QStringLiteral("C-ECHO");
    case DIMSE_C_STORE_RQ: return QStringLiteral("C-STORE");
    case DIMSE_C_FIND_RQ: return QStringLiteral("C-FIND");
    case DIMSE_C_MOVE_RQ: return QStringLiteral("C-MOVE");
    case DIMSE_C_GET_RQ: return QStringLiteral("C-GET");
    case DIMSE_C_CANCEL_RQ: return QStringLiteral("C-CANCEL");
    default: return QStringLiteral("DIMSE");
    }
}

QString rootOf(const char *sopClass)
{
    const std::string uid = sopClass;
    if (uid == UID_FINDPatientRootQueryRetrieveInformationModel || uid == UID_MOVEPatientRootQueryRetrieveInformationModel
        || uid == UID_GETPatientRootQueryRetrieveInformationModel)
        return QStringLiteral("PATIENT");
    return QStringLiteral("STUDY");
}
} // namespace

struct ToolkitConnection::Request
{
    T_ASC_PresentationContextID presId = 0;
    T_DIMSE_Message message{};
    OFString level;
    bool broken = false; // the association failed while answering
};

ToolkitConnection::ToolkitConnection(bool outgoing, std::shared_ptr<detail::EventSink> sink)
    : m_outgoing(outgoing), m_sink(std::move(sink)), m_compression(int(EXS_Unknown))
{
    detail::initializeRuntime();
    if (outgoing)
        m_executor = std::make_unique<detail::SerialExecutor>();
}

ToolkitConnection::~ToolkitConnection()
{
    releaseHeldSaves(false);
}

// ---------------------------------------------------------------- answers

void ToolkitConnection::setStatus(int status)
{
    std::lock_guard lock(m_mutex);
    if (!isPending(status))
        m_status = status & 0xFFFF;
}

int ToolkitConnection::status() const
{
    std::lock_guard lock(m_mutex);
    return m_status.value_or(-1);
}

void ToolkitConnection::sendResponses(const ToolkitSequence &responses, int status)
{
    auto datasets = std::make_shared<std::vector<std::unique_ptr<DcmDataset>>>();
    for (const ToolkitDataset &dataset : responses.items())
        datasets->push_back(toDataset(dataset.item()));
    if (!isPending(status))
        setStatus(status);
    const int responseStatus = isPending(status) ? status : 0xFF00;
    auto self = shared_from_this();
    postNetworkTask([self, datasets, responseStatus] {
        Request *request = self->m_request;
        if (!request || request->broken || request->message.CommandField != DIMSE_C_FIND_RQ)
            return;
        const T_DIMSE_C_FindRQ &rq = request->message.msg.CFindRQ;
        for (auto &dataset : *datasets) {
            if (!dataset->tagExists(DCM_QueryRetrieveLevel) && !request->level.empty())
                dataset->putAndInsertString(DCM_QueryRetrieveLevel, request->level.c_str());
            T_DIMSE_C_FindRSP rsp{};
            rsp.MessageIDBeingRespondedTo = rq.MessageID;
            OFStandard::strlcpy(rsp.AffectedSOPClassUID, rq.AffectedSOPClassUID, sizeof(rsp.AffectedSOPClassUID));
            rsp.DimseStatus = DIC_US(responseStatus);
            rsp.DataSetType = DIMSE_DATASET_PRESENT;
            rsp.opts = O_FIND_AFFECTEDSOPCLASSUID;
            const OFCondition cond =
                DIMSE_sendFindResponse(self->m_assoc, request->presId, &rq, &rsp, dataset.get(), nullptr);
            if (cond.bad()) {
                self->noteFailure(detail::conditionText(cond, self->m_callingTitle, QStringLiteral("C-FIND")));
                request->broken = true;
                return;
            }
        }
    });
}

// ---------------------------------------------------------------- actions

bool ToolkitConnection::connectionReady() const
{
    std::lock_guard lock(m_mutex);
    return m_pendingActions == 0;
}

bool ToolkitConnection::postNetworkTask(std::function<void()> task)
{
    if (m_outgoing) {
        m_executor->post(std::move(task));
        return true;
    }
    {
        std::lock_guard lock(m_mutex);
        if (!m_inRequest || m_stopped)
            return false;
        m_tasks.push_back(std::move(task));
    }
    m_cv.notify_all();
    return true;
}

void ToolkitConnection::startAction(const QString &name, std::function<ActionResult()> work, Runner runner)
{
    {
        std::lock_guard lock(m_mutex);
        ++m_pendingActions;
    }
    const QString tag = m_userTag;
    auto self = shared_from_this();
    auto job = [self, name, tag, work] {
        ActionResult result;
        try {
            result = work();
        } catch (const std::exception &e) {
            result = {false, name + QStringLiteral(": ") + QString::fromLocal8Bit(e.what()), -1};
        } catch (...) {
            result = {false, name + QStringLiteral(": internal error"), -1};
        }
        detail::postToMain([self, name, tag, result] { self->finishAction(name, tag, result); });
    };
    if (runner == Runner::Pool)
        QThreadPool::globalInstance()->start(job);
    else if (!postNetworkTask(job))
        detail::postToMain([self, name, tag] {
            self->finishAction(name, tag, {false, name + QStringLiteral(": no request in progress on this association"), -1});
        });
}

void ToolkitConnection::finishAction(const QString &name, const QString &tag, const ActionResult &result)
{
    m_actionResultCode = result.success || result.resultCode != 0 ? result.resultCode : -1;
    if (m_sink->alive && m_sink->events) {
        try {
            if (m_outgoing)
                m_sink->events->outgoingActionComplete(*this, name, tag, result.success, result.error);
            else
                m_sink->events->actionComplete(*this, name, tag, result.success, result.error);
        } catch (...) {
            deliverError(detail::failureText(QStringLiteral("event handler failed: ") + detail::currentExceptionText(),
                                             m_outgoing ? QString() : m_callingTitle, name));
        }
    }
    // The association's thread is woken only once it can go on: a wake with
    // a save still running only puts it back to sleep (two switches an image).
    bool idle = false;
    {
        std::lock_guard lock(m_mutex);
        --m_pendingActions;
        idle = !m_handlerActive && m_pendingActions == 0;
    }
    if (idle)
        m_cv.notify_all();
}

void ToolkitConnection::raiseUpdate(const QString &action, int lastResponse)
{
    auto self = shared_from_this();
    const QString tag = m_userTag;
    detail::postToMain([self, action, tag, lastResponse] {
        if (!self->m_sink->alive || !self->m_sink->events)
            return;
        if (self->m_outgoing)
            self->m_sink->events->outgoingActionUpdate(*self, action, tag, 1, lastResponse);
        else
            self->m_sink->events->actionUpdate(*self, action, tag, 1, lastResponse);
    });
}

void ToolkitConnection::saveImageAsync(const ToolkitImage &image, const QString &path, bool overwrite,
                                       const QString &transferSyntaxUid)
{
    // A received image compressed beside its handler only waits for its
    // rename. Any other save writes the image: while the compression keeps
    // up, as received, and the sender hears "stored" once that is durable,
    // the compression following; once it falls behind (several senders at
    // once on few cores), compressed first: one file written instead of two,
    // and the backlog stops growing.
    ToolkitEncodeQueue &queue = ToolkitEncodeQueue::instance();
    const E_TransferSyntax target = detail::xferFromUid(transferSyntaxUid);
    std::shared_ptr<detail::EarlyWrite> early = image.earlyWrite();
    if (early && !early->claim(path, target, queue.folder()))
        early.reset();
    const bool behind = queue.pending() >= queue.backlogLimit();
    const QString queueFolder = queue.folder();
    const QString compressLaterIn = (behind && !early) ? QString() : queueFolder;
    // The program may go on changing its image; a file written already needs no copy.
    const ToolkitImage copy = early ? ToolkitImage() : image.clone();
    const QStringList alsoDurable = m_durableWithSave;
    std::shared_ptr<detail::SaveHold> hold;
    if (m_inHandler) {
        hold = std::make_shared<detail::SaveHold>();
        m_heldSaves.push_back(hold);
    }
    startAction(QStringLiteral("SaveImage"), [copy, early, path, overwrite, target, compressLaterIn, queueFolder, alsoDurable,
                                              hold]() -> ActionResult {
        if (!overwrite && QFileInfo::exists(path)) {
            if (hold)
                hold->waitForRelease(); // nothing to place; the completion still follows the handler
            return {false, QStringLiteral("SaveImage: ") + path + QStringLiteral(" exists"), -1};
        }
        // Written without a flush of each piece; one sync per volume then makes
        // the file, its marker and the row's log durable together.
        QStringList unflushed;
        detail::WriteOutcome outcome;
        if (early) {
            // Compressed on the association's thread while the handler ran.
            detail::TempDicomFile written;
            if (early->takeWritten(written, outcome.error))
                outcome = detail::placeTempDicomFile(written, path, compressLaterIn, nullptr, &unflushed, hold.get());
        } else {
            outcome = detail::writeDicomFile(copy.fileFormat(), E_TransferSyntax(copy.arrivedTransferSyntax()), path,
                                             target, compressLaterIn, nullptr, &unflushed, hold.get(), queueFolder);
        }
        // A write that failed early completes after the handler too: its
        // completion then finds the row the handler went on to write.
        if (hold)
            hold->waitForRelease();
        if (outcome.ok && !detail::syncDurable(unflushed, alsoDurable, &outcome.error))
            outcome.ok = false;
        if (outcome.ok)
            detail::WrittenFileWindow::received().add(path, outcome.bytes);
        // A file in place is compressed in any case (its marker is there).
        if (!outcome.deferredMarker.isEmpty() && QFileInfo::exists(path))
            ToolkitEncodeQueue::instance().enqueue(outcome.deferredMarker);
        return {outcome.ok, outcome.error, outcome.ok ? 0 : -1};
    }, Runner::Pool);
}

void ToolkitConnection::setCompression(const QString &transferSyntaxUid, const QVariant &quality)
{
    // The quality arrives as the operator typed it ("90", even "85 max"): its
    // leading number counts; 1 is the highest fidelity, 0 or no number asks for no JPEG.
    static const QRegularExpression leadingNumber(QStringLiteral("^\\s*[+-]?(\\d+(\\.\\d*)?|\\.\\d+)"));
    const QRegularExpressionMatch match = leadingNumber.match(quality.toString());
    const double value = match.hasMatch() ? match.captured(0).trimmed().toDouble() : 0.0;
    const int level = int(qBound(0.0, value, 100.0) + 0.5);
    E_TransferSyntax xfer = detail::xferFromUid(transferSyntaxUid);
    if (xfer == EXS_JPEG2000 && level <= 0)
        xfer = EXS_Unknown;
    m_compression = int(xfer);
    m_quality = level;
}

ToolkitConnection::ActionResult ToolkitConnection::openDestination(const std::vector<detail::FileHeader> &files,
                                                                   int compression)
{
    auto scu = std::make_unique<detail::ScuAssociation>();
    const auto contexts = files.empty() ? detail::defaultProposal(E_TransferSyntax(compression))
                                        : detail::proposalForFiles(files, E_TransferSyntax(compression));
    QString error;
    if (!scu->open(m_destination.address, m_destination.port, m_destination.calling, m_destination.called, contexts,
                   &error))
        return {false, error, -1};
    {
        std::lock_guard lock(m_mutex);
        m_scuSocket = detail::socketOf(scu->association());
    }
    m_scu = std::move(scu);
    return {};
}

void ToolkitConnection::closeDestination()
{
    if (!m_scu)
        return;
    {
        std::lock_guard lock(m_mutex);
        m_scuSocket = -1;
    }
    const bool wasOpen = m_scu->isOpen();
    m_scu->release();
    m_scu.reset();
    if (wasOpen && m_outgoing) {
        auto self = shared_from_this();
        detail::postToMain([self] {
            if (self->m_sink->alive && self->m_sink->events)
                self->m_sink->events->outgoingAssociationClosed(*self);
        });
    }
}

void ToolkitConnection::connectTo(const QString &address, int port, const QString &callingTitle,
                                  const QString &calledTitle)
{
    const int compression = m_compression;
    const Destination destination{address.trimmed(), callingTitle.trimmed(), calledTitle.trimmed(), port};
    startAction(QStringLiteral("SetDestination"), [this, destination, compression]() -> ActionResult {
        closeDestination();
        m_destination = destination;
        m_cancel = false;
        return openDestination({}, compression);
    }, Runner::Network);
}

void ToolkitConnection::sendFilesAsync(const QStringList &paths)
{
    QStringList files;
    for (const QString &path : paths)
        if (!path.trimmed().isEmpty())
            files << path.trimmed();
    m_remaining = int(files.size());
    m_completed = m_failed = m_warning = 0;
    const int compression = m_compression;
    const int quality = m_quality;
    startAction(QStringLiteral("SendImages"), [this, files, compression, quality] {
        return sendFiles(files, compression, quality);
    }, Runner::Network);
}

ToolkitConnection::ActionResult ToolkitConnection::sendFiles(const QStringList &files, int compression, int quality)
{
    m_cancel = false;
    m_failedUids.clear();
    const int total = int(files.size());
    auto failAll = [&](const QString &error) -> ActionResult {
        m_failed = total;
        m_remaining = 0;
        return {false, error, total};
    };
    const bool overRequester = !m_outgoing && m_request && m_request->message.CommandField == DIMSE_C_GET_RQ;
    if (!m_outgoing && !m_request)
        return failAll(QStringLiteral("SendImages: no request in progress"));
    T_ASC_Association *target = nullptr;
    detail::StoreOptions options;
    options.compression = E_TransferSyntax(compression);
    options.quality = quality;
    if (overRequester) {
        target = m_assoc; // C-GET: sub-operations go back over the requesting association
        options.remoteAe = m_callingTitle;
    } else {
        if (m_destination.called.isEmpty())
            return failAll(QStringLiteral("SendImages: no destination; connectTo comes first"));
        const std::vector<detail::FileHeader> headers = detail::peekFiles(files);
        if (!files.isEmpty() && (!m_scu || !m_scu->covers(headers, options.compression))) {
            closeDestination(); // renegotiate with contexts that fit these files
            const ActionResult opened = openDestination(headers, compression);
            if (!opened.success)
                return failAll(opened.error);
        }
        target = m_scu ? m_scu->association() : nullptr;
        options.remoteAe = m_destination.called;
        if (!m_outgoing && m_request->message.CommandField == DIMSE_C_MOVE_RQ) {
            options.moveOriginatorAe = m_callingTitle;
            options.moveOriginatorId = m_request->message.msg.CMoveRQ.MessageID;
        }
    }

    QString lastError;
    // The next files are read (and decoded, where the peer needs another
    // syntax) on other cores while the current one is on the wire; a few at
    // most, so memory stays bounded whatever the number of files.
    // Kept threads, not one per file: a new thread's stack and buffers cost
    // their page faults again for every image.
    static QThreadPool preparePool;
    const int depth = std::max(2, QThread::idealThreadCount());
    preparePool.setMaxThreadCount(depth);
    std::deque<std::future<detail::PreparedStore>> ahead;
    int scheduled = 0;
    const auto contexts = std::make_shared<const detail::AcceptedContexts>(detail::AcceptedContexts::of(target));
    auto refill = [&] {
        while (scheduled < total && int(ahead.size()) < depth && !m_cancel) {
            auto promise = std::make_shared<std::promise<detail::PreparedStore>>();
            ahead.push_back(promise->get_future());
            preparePool.start([promise, contexts, options, path = files.at(scheduled++)] {
                // The send itself is the chain the peer waits on (file on the
                // wire, its answer, the next file); the read-ahead only has to
                // stay ahead of it, so it yields the cores to the sending thread
                // and to whatever the machine serves beside it.
                detail::yieldThisThreadTo(10);
                try {
                    promise->set_value(detail::prepareFile(*contexts, path, options));
                } catch (...) {
                    promise->set_exception(std::current_exception());
                }
            });
        }
    };
    auto drain = [&] {
        for (auto &pending : ahead)
            if (pending.valid())
                pending.wait();
        ahead.clear();
    };
    refill();
    for (int i = 0; i < total; ++i) {
        detail::StoreOutcome outcome;
        detail::PreparedStore current;
        if (!ahead.empty()) {
            current = ahead.front().get();
            ahead.pop_front();
        }
        refill();
        if (m_cancel)
            outcome.error = QStringLiteral("SendImages: cancelled");
        else
            outcome = detail::sendPrepared(target, current, options);
        --m_remaining;
        switch (outcome.kind) {
        case detail::StoreOutcome::Completed: ++m_completed; break;
        case detail::StoreOutcome::Warning: ++m_warning; break;
        case detail::StoreOutcome::Failed:
            ++m_failed;
            lastError = outcome.error;
            if (!outcome.sopInstanceUid.isEmpty())
                m_failedUids << outcome.sopInstanceUid;
            break;
        }
        if (!m_outgoing)
            sendSubOperationProgress(*m_request);
        raiseUpdate(QStringLiteral("SendImages"), outcome.kind == detail::StoreOutcome::Failed ? 0xC000 : 0);
        if (outcome.linkLost) {
            drain();
            m_failed += m_remaining;
            m_remaining = 0;
            return {false, outcome.error, m_failed};
        }
    }
    return {true, m_failed > 0 ? lastError : QString(), m_failed};
}

void ToolkitConnection::verifyAsync()
{
    startAction(QStringLiteral("Sendverify"), [this]() -> ActionResult {
        QString error;
        int status = -1;
        if (m_scu && m_scu->isOpen()
            && ASC_findAcceptedPresentationContextID(m_scu->association(), UID_VerificationSOPClass) != 0) {
            status = m_scu->echo(&error);
        } else if (!m_destination.called.isEmpty()) {
            detail::ScuAssociation probe;
            const std::vector<detail::ProposedContext> contexts{
                {UID_VerificationSOPClass, {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax}}};
            if (probe.open(m_destination.address, m_destination.port, m_destination.calling, m_destination.called,
                           contexts, &error)) {
                status = probe.echo(&error);
                probe.release();
            }
        } else {
            error = QStringLiteral("Sendverify: no destination; connectTo comes first");
        }
        if (status == 0)
            return {};
        if (error.isEmpty())
            error = QStringLiteral("C-ECHO with %1: status 0x%2").arg(m_destination.called).arg(status, 4, 16, QLatin1Char('0'));
        return {false, error, status};
    }, Runner::Network);
}

void ToolkitConnection::closeAssociation()
{
    if (!m_outgoing) {
        std::lock_guard lock(m_mutex);
        m_closeRequested = true; // the association's thread aborts it once the current request is answered
        return;
    }
    startAction(QStringLiteral("Close"), [this]() -> ActionResult {
        closeDestination();
        return {};
    }, Runner::Network);
}

void ToolkitConnection::resetConnection(int, int)
{
    m_completed = m_failed = m_warning = m_remaining = 0;
    m_actionResultCode = 0;
    m_cancel = true;
}

void ToolkitConnection::abortConnection()
{
    if (!m_outgoing) {
        closeAssociation();
        return;
    }
    m_cancel = true;
    {
        std::lock_guard lock(m_mutex);
        if (m_scuSocket >= 0)
            ::shutdown(m_scuSocket, SHUT_RDWR); // wakes a send in progress
    }
    auto self = shared_from_this();
    m_executor->post([self] {
        if (self->m_scu) {
            {
                std::lock_guard lock(self->m_mutex);
                self->m_scuSocket = -1;
            }
            self->m_scu->abort();
            self->m_scu.reset();
            detail::postToMain([self] {
                if (self->m_sink->alive && self->m_sink->events)
                    self->m_sink->events->outgoingAssociationClosed(*self);
            });
        }
    });
}

// ---------------------------------------------------------------- incoming association

void ToolkitConnection::stopFromListener()
{
    std::lock_guard lock(m_mutex);
    m_stopped = true;
    if (m_socket >= 0)
        ::shutdown(m_socket, SHUT_RDWR);
    if (m_scuSocket >= 0)
        ::shutdown(m_scuSocket, SHUT_RDWR);
    m_cv.notify_all();
}

void ToolkitConnection::raise(const QString &command, std::function<void(ToolkitEvents &, ToolkitConnection &)> handler,
                              const std::function<void()> &meanwhile)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stopped)
            return;
        m_handlerActive = true;
    }
    auto self = shared_from_this();
    detail::postToMain([self, command, handler] {
        if (self->m_sink->alive && self->m_sink->events) {
            bool failed = false;
            self->m_inHandler = true;
            try {
                handler(*self->m_sink->events, *self);
            } catch (...) {
                failed = true;
                // The request is answered as if the handler had set nothing.
                self->deliverError(detail::failureText(QStringLiteral("event handler failed: ")
                                                           + detail::currentExceptionText(),
                                                       self->m_callingTitle, command));
            }
            self->m_inHandler = false;
            self->releaseHeldSaves(!failed && !isRefusal(self->status()));
        }
        bool idle = false;
        {
            std::lock_guard lock(self->m_mutex);
            self->m_handlerActive = false;
            idle = self->m_pendingActions == 0;
        }
        if (idle) // else the last action's end wakes it
            self->m_cv.notify_all();
    });
    if (meanwhile) {
        try {
            meanwhile();
        } catch (...) {
            reportError(detail::failureText(QStringLiteral("network task failed: ") + detail::currentExceptionText(),
                                            m_callingTitle, command));
        }
    }
    serviceUntilIdle();
}

void ToolkitConnection::releaseHeldSaves(bool place)
{
    for (const auto &hold : m_heldSaves)
        hold->release(place);
    m_heldSaves.clear();
}

void ToolkitConnection::serviceUntilIdle()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_cv.wait(lock, [this] { return m_stopped || !m_tasks.empty() || (!m_handlerActive && m_pendingActions == 0); });
        if (m_stopped)
            return;
        if (m_tasks.empty())
            return;
        auto task = std::move(m_tasks.front());
        m_tasks.pop_front();
        lock.unlock();
        try {
            task();
        } catch (...) {
            reportError(detail::failureText(QStringLiteral("network task failed: ") + detail::currentExceptionText(),
                                            m_callingTitle, m_commandName));
        }
        lock.lock();
    }
}

void ToolkitConnection::serve(T_ASC_Association *assoc)
{
    m_assoc = assoc;
    const int socket = detail::socketOf(assoc);
    if (socket >= 0) {
        int on = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        const timeval stalled{kStalledReadSeconds, 0};
        ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &stalled, sizeof(stalled));
    }
    {
        std::lock_guard lock(m_mutex);
        m_socket = socket;
    }
    const T_ASC_Parameters *params = assoc->params;
    m_callingTitle = QString::fromLatin1(params->DULparams.callingAPTitle).trimmed();
    m_calledTitle = QString::fromLatin1(params->DULparams.calledAPTitle).trimmed();
    m_remoteAddress = QString::fromLatin1(params->DULparams.callingPresentationAddress).trimmed();
    m_secure = params->DULparams.useSecureLayer;

    bool stopped = false;
    QString lastCommand = QStringLiteral("association"); // what a failure between requests comes after
    if (negotiate()) {
        for (;;) {
            {
                std::lock_guard lock(m_mutex);
                stopped = m_stopped || m_closeRequested;
            }
            if (stopped)
                break;
            Request request;
            const OFCondition cond = DIMSE_receiveCommand(m_assoc, DIMSE_NONBLOCKING, 1, &request.presId,
                                                          &request.message, nullptr);
            if (cond == DIMSE_NODATAAVAILABLE)
                continue;
            if (cond == DUL_PEERREQUESTEDRELEASE) {
                ASC_acknowledgeRelease(m_assoc);
                break;
            }
            if (cond == DUL_PEERABORTEDASSOCIATION) {
                noteFailure(detail::conditionText(cond, m_callingTitle, lastCommand));
                break;
            }
            if (cond.bad()) {
                noteFailure(detail::conditionText(cond, m_callingTitle, lastCommand));
                stopped = true;
                break;
            }
            lastCommand = commandText(request.message.CommandField);
            switch (request.message.CommandField) {
            case DIMSE_C_ECHO_RQ: handleEcho(request); break;
            case DIMSE_C_STORE_RQ: handleStore(request); break;
            case DIMSE_C_FIND_RQ:
            case DIMSE_C_MOVE_RQ:
            case DIMSE_C_GET_RQ: handleQuery(request); break;
            case DIMSE_C_CANCEL_RQ: break; // arrives after we answered; nothing left to cancel
            default:
                noteFailure(detail::failureText(QStringLiteral("command 0x%1 not supported")
                                                    .arg(unsigned(request.message.CommandField), 4, 16, QLatin1Char('0')),
                                                m_callingTitle, lastCommand));
                request.broken = true;
                break;
            }
            {
                std::lock_guard lock(m_mutex);
                m_inRequest = false;
                m_request = nullptr;
                m_tasks.clear();
            }
            if (request.broken) {
                stopped = true;
                break;
            }
        }
    }
    if (stopped)
        ASC_abortAssociation(m_assoc);
    closeDestination();
    {
        std::lock_guard lock(m_mutex);
        m_socket = -1;
    }
    ASC_dropSCPAssociation(m_assoc);
    ASC_destroyAssociation(&m_assoc);
    m_assoc = nullptr;

    QString failure;
    {
        std::lock_guard lock(m_mutex);
        if (!m_stopped) // not when the listener itself cut the association
            failure = m_failure;
    }
    if (!failure.isEmpty())
        reportError(failure);
}

void ToolkitConnection::noteFailure(const QString &text)
{
    if (m_failure.isEmpty())
        m_failure = text;
}

void ToolkitConnection::reportError(const QString &message)
{
    try {
        auto self = shared_from_this();
        detail::postToMain([self, message] { self->deliverError(message); });
    } catch (...) {
        detail::logUnreported(message); // called from catch blocks of threads: nothing may leave here
    }
}

void ToolkitConnection::deliverError(const QString &message)
{
    if (!m_sink->alive || !m_sink->events) {
        detail::logUnreported(message);
        return;
    }
    try {
        m_sink->events->connectionError(*this, message);
    } catch (...) {
        detail::logUnreported(message + QStringLiteral(" (its handler failed: ") + detail::currentExceptionText()
                              + QLatin1Char(')'));
    }
}

bool ToolkitConnection::negotiate()
{
    T_ASC_Parameters *params = m_assoc->params;
    const int count = ASC_countPresentationContexts(params);
    for (int i = 0; i < count; ++i) {
        T_ASC_PresentationContext pc;
        if (ASC_getPresentationContext(params, i, &pc).bad())
            continue;
        ToolkitContext context;
        context.id = pc.presentationContextID;
        context.abstractSyntax = QString::fromLatin1(pc.abstractSyntax);
        for (int t = 0; t < pc.transferSyntaxCount; ++t)
            context.transferSyntaxes << QString::fromLatin1(pc.proposedTransferSyntaxes[t]);
        m_offered << context;
    }

    auto isOK = std::make_shared<bool>(!m_offered.isEmpty());
    raise(QStringLiteral("A-ASSOCIATE"),
          [isOK](ToolkitEvents &events, ToolkitConnection &connection) { events.associationRequest(connection, *isOK); });
    {
        std::lock_guard lock(m_mutex);
        if (m_stopped)
            return false;
    }
    if (!*isOK) {
        T_ASC_RejectParameters reject{ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER,
                                      m_rejection == Rejection::CallingTitleNotRecognized
                                          ? ASC_REASON_SU_CALLINGAETITLENOTRECOGNIZED
                                      : m_rejection == Rejection::CalledTitleNotRecognized
                                          ? ASC_REASON_SU_CALLEDAETITLENOTRECOGNIZED
                                          : ASC_REASON_SU_NOREASON};
        ASC_rejectAssociation(m_assoc, &reject);
        return false;
    }

    for (int i = 0; i < count; ++i) {
        T_ASC_PresentationContext pc;
        if (ASC_getPresentationContext(params, i, &pc).bad())
            continue;
        if (!supportedAbstractSyntaxes().count(pc.abstractSyntax)) {
            ASC_refusePresentationContext(params, pc.presentationContextID, ASC_P_ABSTRACTSYNTAXNOTSUPPORTED);
            continue;
        }
        // Take JPEG Lossless as images are stored that way; otherwise the peer's first syntax DCMTK knows.
        const char *chosen = nullptr;
        for (E_TransferSyntax preferred : {EXS_JPEGProcess14, EXS_JPEGProcess14SV1})
            for (int t = 0; t < pc.transferSyntaxCount && !chosen; ++t)
                if (DcmXfer(pc.proposedTransferSyntaxes[t]).getXfer() == preferred)
                    chosen = pc.proposedTransferSyntaxes[t];
        for (int t = 0; t < pc.transferSyntaxCount && !chosen; ++t)
            if (DcmXfer(pc.proposedTransferSyntaxes[t]).getXfer() != EXS_Unknown)
                chosen = pc.proposedTransferSyntaxes[t];
        if (!chosen) {
            ASC_refusePresentationContext(params, pc.presentationContextID, ASC_P_TRANSFERSYNTAXESNOTSUPPORTED);
            continue;
        }
        // A C-GET requester offers to act as storage SCP; agree to the role it proposes.
        const T_ASC_SC_ROLE role = (pc.proposedRole == ASC_SC_ROLE_SCP || pc.proposedRole == ASC_SC_ROLE_SCUSCP)
                                       ? pc.proposedRole
                                       : ASC_SC_ROLE_DEFAULT;
        ASC_acceptPresentationContext(params, pc.presentationContextID, chosen, role);
    }
    ASC_setAPTitles(params, nullptr, nullptr, m_calledTitle.toLatin1().constData());
    const OFCondition cond = ASC_acknowledgeAssociation(m_assoc);
    if (cond.bad())
        noteFailure(detail::conditionText(cond, m_callingTitle, QStringLiteral("A-ASSOCIATE")));
    return cond.good();
}

void ToolkitConnection::handleEcho(Request &request)
{
    {
        std::lock_guard lock(m_mutex);
        m_request = &request;
        m_inRequest = true;
        m_status.reset();
        m_commandName = QStringLiteral("C-ECHO");
    }
    auto status = std::make_shared<int>(0);
    raise(QStringLiteral("C-ECHO"),
          [status](ToolkitEvents &events, ToolkitConnection &connection) { events.verifyReceived(connection, *status); });
    const OFCondition cond =
        DIMSE_sendEchoResponse(m_assoc, request.presId, &request.message.msg.CEchoRQ, DIC_US(*status), nullptr);
    if (cond.bad()) {
        noteFailure(detail::conditionText(cond, m_callingTitle, QStringLiteral("C-ECHO")));
        request.broken = true;
    }
}

void ToolkitConnection::handleStore(Request &request)
{
    T_DIMSE_C_StoreRQ &rq = request.message.msg.CStoreRQ;
    DcmDataset *dataset = nullptr;
    T_ASC_PresentationContextID dataPresId = 0;
    const OFCondition received =
        DIMSE_receiveDataSetInMemory(m_assoc, DIMSE_NONBLOCKING, kDimseTimeout, &dataPresId, &dataset, nullptr, nullptr);
    if (received.bad()) {
        noteFailure(detail::conditionText(received, m_callingTitle, QStringLiteral("C-STORE")));
        delete dataset;
        request.broken = true;
        return;
    }
    T_ASC_PresentationContext pc;
    E_TransferSyntax xfer = EXS_Unknown;
    if (ASC_findAcceptedPresentationContext(m_assoc->params, dataPresId, &pc).good())
        xfer = DcmXfer(pc.acceptedTransferSyntax).getXfer();
    ToolkitImage image = ToolkitImage::fromDataset(dataset, int(xfer));
    // Copied now, while only this thread has the image.
    image.setEarlyWrite(detail::EarlyWrite::start(image.fileFormat(), xfer));
    {
        std::lock_guard lock(m_mutex);
        m_request = &request;
        m_inRequest = true;
        m_status.reset();
        m_commandName = QStringLiteral("C-STORE");
    }
    // The stored form is made here while the handler runs; its save waits for it.
    const std::shared_ptr<detail::EarlyWrite> early = image.earlyWrite();
    std::function<void()> meanwhile;
    if (early)
        meanwhile = [early] { early->write(); };
    raise(
        QStringLiteral("C-STORE"),
        [image](ToolkitEvents &events, ToolkitConnection &connection) mutable { events.imageReceived(connection, image); },
        meanwhile);
    image = ToolkitImage(); // the handler's copy may outlive this request; ours goes now

    T_DIMSE_C_StoreRSP rsp{};
    rsp.MessageIDBeingRespondedTo = rq.MessageID;
    OFStandard::strlcpy(rsp.AffectedSOPClassUID, rq.AffectedSOPClassUID, sizeof(rsp.AffectedSOPClassUID));
    OFStandard::strlcpy(rsp.AffectedSOPInstanceUID, rq.AffectedSOPInstanceUID, sizeof(rsp.AffectedSOPInstanceUID));
    rsp.DimseStatus = DIC_US(status() < 0 ? kDefaultFailure : status());
    rsp.DataSetType = DIMSE_DATASET_NULL;
    rsp.opts = O_STORE_AFFECTEDSOPCLASSUID | O_STORE_AFFECTEDSOPINSTANCEUID;
    const OFCondition sent = DIMSE_sendStoreResponse(m_assoc, request.presId, &rq, &rsp, nullptr);
    if (sent.bad()) {
        noteFailure(detail::conditionText(sent, m_callingTitle, QStringLiteral("C-STORE")));
        request.broken = true;
    }
}

void ToolkitConnection::handleQuery(Request &request)
{
    const T_DIMSE_Command command = request.message.CommandField;
    const char *sopClass = command == DIMSE_C_FIND_RQ   ? request.message.msg.CFindRQ.AffectedSOPClassUID
                           : command == DIMSE_C_MOVE_RQ ? request.message.msg.CMoveRQ.AffectedSOPClassUID
                                                        : request.message.msg.CGetRQ.AffectedSOPClassUID;
    DcmDataset *identifier = nullptr;
    T_ASC_PresentationContextID dataPresId = 0;
    const OFCondition received = DIMSE_receiveDataSetInMemory(m_assoc, DIMSE_NONBLOCKING, kDimseTimeout, &dataPresId,
                                                              &identifier, nullptr, nullptr);
    if (received.bad()) {
        noteFailure(detail::conditionText(received, m_callingTitle, commandText(command)));
        delete identifier;
        request.broken = true;
        return;
    }
    identifier->findAndGetOFString(DCM_QueryRetrieveLevel, request.level);
    {
        std::lock_guard lock(m_mutex);
        m_request = &request;
        m_inRequest = true;
        m_status.reset();
        m_commandName = command == DIMSE_C_FIND_RQ ? QStringLiteral("C-FIND")
                        : command == DIMSE_C_MOVE_RQ ? QStringLiteral("C-MOVE")
                                                     : QStringLiteral("C-GET");
    }
    m_queryRoot = rootOf(sopClass);
    m_requestIdentifier = ToolkitDataset(std::shared_ptr<DcmItem>(identifier));
    m_moveDestination = command == DIMSE_C_MOVE_RQ
                            ? QString::fromLatin1(request.message.msg.CMoveRQ.MoveDestination).trimmed()
                            : QString();
    m_statusDataset = ToolkitDataset();
    m_completed = m_failed = m_warning = m_remaining = 0;
    m_failedUids.clear();

    raise(commandText(command),
          [](ToolkitEvents &events, ToolkitConnection &connection) { events.queryRequest(connection); });
    finishQuery(request);
    if (command == DIMSE_C_MOVE_RQ)
        closeDestination();
}

// C-MOVE and C-GET responses carry the same progress fields.
template <typename Rsp, typename Rq>
void ToolkitConnection::fillPendingProgress(Rsp &rsp, const Rq &rq) const
{
    rsp.MessageIDBeingRespondedTo = rq.MessageID;
    OFStandard::strlcpy(rsp.AffectedSOPClassUID, rq.AffectedSOPClassUID, sizeof(rsp.AffectedSOPClassUID));
    rsp.DimseStatus = STATUS_Pending;
    rsp.DataSetType = DIMSE_DATASET_NULL;
    rsp.NumberOfRemainingSubOperations = DIC_US(m_remaining.load());
    rsp.NumberOfCompletedSubOperations = DIC_US(m_completed.load());
    rsp.NumberOfFailedSubOperations = DIC_US(m_failed.load());
    rsp.NumberOfWarningSubOperations = DIC_US(m_warning.load());
}

namespace {
// The final C-MOVE or C-GET response: status and how the sub-operations went.
template <typename Rsp, typename Rq>
void fillFinalCounts(Rsp &rsp, const Rq &rq, int status, int completed, int failed, int warning, bool withFailedList)
{
    rsp.MessageIDBeingRespondedTo = rq.MessageID;
    OFStandard::strlcpy(rsp.AffectedSOPClassUID, rq.AffectedSOPClassUID, sizeof(rsp.AffectedSOPClassUID));
    rsp.DimseStatus = DIC_US(status);
    rsp.DataSetType = withFailedList ? DIMSE_DATASET_PRESENT : DIMSE_DATASET_NULL;
    rsp.NumberOfCompletedSubOperations = DIC_US(completed);
    rsp.NumberOfFailedSubOperations = DIC_US(failed);
    rsp.NumberOfWarningSubOperations = DIC_US(warning);
}
} // namespace

void ToolkitConnection::sendSubOperationProgress(const Request &request)
{
    const T_DIMSE_Command command = request.message.CommandField;
    if (command == DIMSE_C_MOVE_RQ) {
        const T_DIMSE_C_MoveRQ &rq = request.message.msg.CMoveRQ;
        T_DIMSE_C_MoveRSP rsp{};
        fillPendingProgress(rsp, rq);
        rsp.opts = O_MOVE_AFFECTEDSOPCLASSUID | O_MOVE_NUMBEROFREMAININGSUBOPERATIONS | O_MOVE_NUMBEROFCOMPLETEDSUBOPERATIONS
                   | O_MOVE_NUMBEROFFAILEDSUBOPERATIONS | O_MOVE_NUMBEROFWARNINGSUBOPERATIONS;
        const OFCondition cond = DIMSE_sendMoveResponse(m_assoc, request.presId, &rq, &rsp, nullptr, nullptr);
        if (cond.bad()) // the final response fails too and ends the association
            noteFailure(detail::conditionText(cond, m_callingTitle, QStringLiteral("C-MOVE")));
    } else if (command == DIMSE_C_GET_RQ) {
        const T_DIMSE_C_GetRQ &rq = request.message.msg.CGetRQ;
        T_DIMSE_C_GetRSP rsp{};
        fillPendingProgress(rsp, rq);
        rsp.opts = O_GET_AFFECTEDSOPCLASSUID | O_GET_NUMBEROFREMAININGSUBOPERATIONS | O_GET_NUMBEROFCOMPLETEDSUBOPERATIONS
                   | O_GET_NUMBEROFFAILEDSUBOPERATIONS | O_GET_NUMBEROFWARNINGSUBOPERATIONS;
        const OFCondition cond = DIMSE_sendGetResponse(m_assoc, request.presId, &rq, &rsp, nullptr, nullptr);
        if (cond.bad())
            noteFailure(detail::conditionText(cond, m_callingTitle, QStringLiteral("C-GET")));
    }
}

void ToolkitConnection::finishQuery(Request &request)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stopped || request.broken)
            return;
    }
    const T_DIMSE_Command command = request.message.CommandField;
    int status = this->status();
    const int completed = m_completed, failed = m_failed, warning = m_warning;
    if (command != DIMSE_C_FIND_RQ) {
        // Never report success over failed sub-operations.
        if (failed > 0 && (status < 0 || status == 0 || (status & 0xF000) == 0xB000))
            status = completed + warning > 0 ? 0xB000 : 0xA702;
        else if (warning > 0 && status == 0)
            status = 0xB000;
    }
    if (status < 0)
        status = kDefaultFailure;

    std::unique_ptr<DcmDataset> detail;
    if (status != 0 && !m_statusDataset.isEmpty())
        detail = toDataset(m_statusDataset.item());
    std::unique_ptr<DcmDataset> failedList;
    if (failed > 0 && command != DIMSE_C_FIND_RQ) {
        failedList = std::make_unique<DcmDataset>();
        failedList->putAndInsertString(DCM_FailedSOPInstanceUIDList, m_failedUids.join(QLatin1Char('\\')).toLatin1().constData());
    }

    OFCondition cond = EC_Normal;
    if (command == DIMSE_C_FIND_RQ) {
        const T_DIMSE_C_FindRQ &rq = request.message.msg.CFindRQ;
        T_DIMSE_C_FindRSP rsp{};
        rsp.MessageIDBeingRespondedTo = rq.MessageID;
        OFStandard::strlcpy(rsp.AffectedSOPClassUID, rq.AffectedSOPClassUID, sizeof(rsp.AffectedSOPClassUID));
        rsp.DimseStatus = DIC_US(status);
        rsp.DataSetType = DIMSE_DATASET_NULL;
        rsp.opts = O_FIND_AFFECTEDSOPCLASSUID;
        cond = DIMSE_sendFindResponse(m_assoc, request.presId, &rq, &rsp, nullptr, detail.get());
    } else if (command == DIMSE_C_MOVE_RQ) {
        const T_DIMSE_C_MoveRQ &rq = request.message.msg.CMoveRQ;
        T_DIMSE_C_MoveRSP rsp{};
        fillFinalCounts(rsp, rq, status, completed, failed, warning, bool(failedList));
        rsp.opts = O_MOVE_AFFECTEDSOPCLASSUID | O_MOVE_NUMBEROFCOMPLETEDSUBOPERATIONS | O_MOVE_NUMBEROFFAILEDSUBOPERATIONS
                   | O_MOVE_NUMBEROFWARNINGSUBOPERATIONS;
        cond = DIMSE_sendMoveResponse(m_assoc, request.presId, &rq, &rsp, failedList.get(), detail.get());
    } else {
        const T_DIMSE_C_GetRQ &rq = request.message.msg.CGetRQ;
        T_DIMSE_C_GetRSP rsp{};
        fillFinalCounts(rsp, rq, status, completed, failed, warning, bool(failedList));
        rsp.opts = O_GET_AFFECTEDSOPCLASSUID | O_GET_NUMBEROFCOMPLETEDSUBOPERATIONS | O_GET_NUMBEROFFAILEDSUBOPERATIONS
                   | O_GET_NUMBEROFWARNINGSUBOPERATIONS;
        cond = DIMSE_sendGetResponse(m_assoc, request.presId, &rq, &rsp, failedList.get(), detail.get());
    }
    if (cond.bad()) {
        noteFailure(detail::conditionText(cond, m_callingTitle, commandText(command)));
        request.broken = true;
    }
}

} // namespace pacs::toolkit
