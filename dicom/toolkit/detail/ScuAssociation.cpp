#include "dicom/toolkit/detail/ScuAssociation.h"

#include "dicom/toolkit/detail/FileHeader.h"
#include "dicom/toolkit/detail/GuardedTransportLayer.h"
#include "dicom/toolkit/detail/ImageWriter.h"
#include "dicom/toolkit/detail/Runtime.h"
#include "dicom/toolkit/detail/TlsLayers.h"

#include <QFile>
#include <QSet>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dulstruc.h>

#include <cstring>
#include <iterator>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <set>
#include <sys/socket.h>
#include <utility>

namespace pacs::toolkit::detail {

namespace {
constexpr int kAcseTimeout = 30;
constexpr int kDimseTimeout = 120;
constexpr size_t kMaxContexts = 128;
// The classes most of the archive's images are.
const char *const kUsualImageClasses[] = {
    UID_CTImageStorage, UID_MRImageStorage, UID_ComputedRadiographyImageStorage,
    UID_DigitalXRayImageStorageForPresentation, UID_DigitalMammographyXRayImageStorageForPresentation,
    UID_UltrasoundImageStorage, UID_SecondaryCaptureImageStorage};

std::vector<std::string> uncompressedSyntaxes()
{
    return {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax};
}

bool canEncode(E_TransferSyntax xfer)
{
    return xfer != EXS_Unknown && canConvert(EXS_LittleEndianExplicit, xfer);
}

void setNoDelay(int socket)
{
    if (socket < 0)
        return;
    int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}
} // namespace

namespace {
// DCMTK 3.6.7 keeps the socket accessor protected; reach it through a derived name.
struct SocketAccess : DcmTransportConnection
{
    static int of(DcmTransportConnection *connection) { return int((connection->*&SocketAccess::getSocket)()); }
};
} // namespace

int acceptedContext(T_ASC_Association *assoc, const char *abstractSyntax, E_TransferSyntax xfer)
{
    // ASC_findAcceptedPresentationContextID falls back to any syntax; the syntax matters here.
    if (!assoc || xfer == EXS_Unknown)
        return 0;
    const int count = ASC_countPresentationContexts(assoc->params);
    for (int i = 0; i < count; ++i) {
        T_ASC_PresentationContext pc;
        if (ASC_getPresentationContext(assoc->params, i, &pc).good() && pc.resultReason == ASC_P_ACCEPTANCE
            && strcmp(pc.abstractSyntax, abstractSyntax) == 0 && DcmXfer(pc.acceptedTransferSyntax).getXfer() == xfer)
            return pc.presentationContextID;
    }
    return 0;
}

AcceptedContexts AcceptedContexts::of(T_ASC_Association *assoc)
{
    AcceptedContexts contexts;
    contexts.connected = assoc != nullptr;
    if (!assoc)
        return contexts;
    for (int i = 0, n = ASC_countPresentationContexts(assoc->params); i < n; ++i) {
        T_ASC_PresentationContext pc;
        if (ASC_getPresentationContext(assoc->params, i, &pc).bad() || pc.resultReason != ASC_P_ACCEPTANCE)
            continue;
        contexts.entries.push_back({pc.presentationContextID, pc.abstractSyntax, DcmXfer(pc.acceptedTransferSyntax).getXfer()});
    }
    return contexts;
}

int AcceptedContexts::find(const char *abstractSyntax, E_TransferSyntax xfer) const
{
    if (xfer == EXS_Unknown)
        return 0;
    for (const Entry &entry : entries)
        if (entry.xfer == xfer && entry.abstractSyntax == abstractSyntax)
            return entry.id;
    return 0;
}

bool proposedContext(T_ASC_Association *assoc, const char *abstractSyntax, E_TransferSyntax xfer)
{
    if (!assoc || xfer == EXS_Unknown)
        return false;
    const int count = ASC_countPresentationContexts(assoc->params);
    for (int i = 0; i < count; ++i) {
        T_ASC_PresentationContext pc;
        if (ASC_getPresentationContext(assoc->params, i, &pc).bad() || strcmp(pc.abstractSyntax, abstractSyntax) != 0)
            continue;
        for (int t = 0; t < pc.transferSyntaxCount; ++t)
            if (DcmXfer(pc.proposedTransferSyntaxes[t]).getXfer() == xfer)
                return true;
    }
    return false;
}

int socketOf(T_ASC_Association *assoc)
{
    if (!assoc || !assoc->DULassociation)
        return -1;
    auto *key = reinterpret_cast<PRIVATE_ASSOCIATIONKEY *>(assoc->DULassociation);
    return key->connection ? SocketAccess::of(key->connection) : -1;
}

std::vector<ProposedContext> defaultProposal(E_TransferSyntax compression)
{
    std::vector<ProposedContext> contexts;
    contexts.push_back({UID_VerificationSOPClass, {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax}});
    const bool compress = canEncode(compression) && !isUncompressed(compression);
    // Without compression asked for, the last contexts offer the archive's own
    // syntax for the usual image classes: a C-MOVE connects before it knows
    // its files, which then go as stored (or decoded, where the peer declined
    // that syntax) without a second association.
    const size_t storedRoom = compress ? 0 : std::size(kUsualImageClasses);
    for (int i = 0; i < numberOfDcmLongSCUStorageSOPClassUIDs && contexts.size() + storedRoom < kMaxContexts; ++i) {
        if (compress && contexts.size() + 1 < kMaxContexts)
            contexts.push_back({dcmLongSCUStorageSOPClassUIDs[i], {DcmXfer(compression).getXferID()}});
        contexts.push_back({dcmLongSCUStorageSOPClassUIDs[i], uncompressedSyntaxes()});
    }
    for (size_t i = 0; i < storedRoom && contexts.size() < kMaxContexts; ++i)
        contexts.push_back({kUsualImageClasses[i], {DcmXfer(kArchiveSyntax).getXferID()}});
    return contexts;
}

std::vector<ProposedContext> proposalForFiles(const std::vector<FileHeader> &files, E_TransferSyntax compression)
{
    std::map<std::string, QSet<int>> needed; // SOP class -> syntaxes of its files
    for (const FileHeader &header : files)
        needed[header.sopClass].insert(int(header.xfer));
    const bool compress = canEncode(compression) && !isUncompressed(compression);
    std::vector<ProposedContext> contexts;
    for (const auto &[sopClass, syntaxes] : needed) {
        if (compress)
            contexts.push_back({sopClass, {DcmXfer(compression).getXferID()}});
        for (int x : syntaxes) {
            const auto xfer = E_TransferSyntax(x);
            if (!isUncompressed(xfer) && xfer != compression)
                contexts.push_back({sopClass, {DcmXfer(xfer).getXferID()}});
        }
        contexts.push_back({sopClass, uncompressedSyntaxes()});
    }
    if (contexts.size() > kMaxContexts)
        contexts.resize(kMaxContexts);
    if (contexts.empty())
        contexts = defaultProposal(compression);
    return contexts;
}

ScuAssociation::~ScuAssociation() { abort(); }

bool ScuAssociation::open(const QString &address, int port, const QString &calling, const QString &called,
                          const std::vector<ProposedContext> &contexts, QString *error)
{
    initializeRuntime();
    abort();
    m_called = called;
    auto fail = [&](const OFCondition &cond) {
        if (error)
            *error = conditionText(cond, called, QStringLiteral("A-ASSOCIATE"));
        abort();
        return false;
    };
    // TLS as configured now; a configuration that failed to load sends nothing
    // rather than send in the clear.
    const auto tls = currentTlsLayers();
    if (!tls->failure.isEmpty()) {
        if (error)
            *error = failureText(tls->failure, called, QStringLiteral("A-ASSOCIATE"));
        return false;
    }
    OFCondition cond = ASC_initializeNetwork(NET_REQUESTOR, 0, kAcseTimeout, &m_net);
    if (cond.bad())
        return fail(cond);
    // Ours in any case: it bounds a TLS handshake and keeps each PDU's pieces together.
    cond = ASC_setTransportLayer(m_net, new GuardedTransportLayer(tls->requestor), 1);
    if (cond.bad())
        return fail(cond);
    T_ASC_Parameters *params = nullptr;
    cond = ASC_createAssociationParameters(&params, ASC_DEFAULTMAXPDU);
    if (cond.bad())
        return fail(cond);
    if (tls->requestor)
        ASC_setTransportLayerType(params, OFTrue);
    ASC_setAPTitles(params, calling.toLatin1().constData(), called.toLatin1().constData(), nullptr);
    const QByteArray peer = (address.trimmed() + QLatin1Char(':') + QString::number(port)).toLatin1();
    ASC_setPresentationAddresses(params, "localhost", peer.constData());
    T_ASC_PresentationContextID id = 1;
    for (const ProposedContext &context : contexts) {
        std::vector<const char *> syntaxes;
        for (const std::string &s : context.transferSyntaxes)
            syntaxes.push_back(s.c_str());
        cond = ASC_addPresentationContext(params, id, context.abstractSyntax.c_str(), syntaxes.data(),
                                          int(syntaxes.size()));
        if (cond.bad()) {
            ASC_destroyAssociationParameters(&params);
            return fail(cond);
        }
        id += 2;
    }
    cond = ASC_requestAssociation(m_net, params, &m_assoc);
    if (cond == DUL_ASSOCIATIONREJECTED && m_assoc) {
        // DCMTK's text says only "rejected"; the peer also said by whom and why.
        T_ASC_RejectParameters reject{};
        OFString reason;
        ASC_getRejectParameters(m_assoc->params, &reject);
        ASC_printRejectParameters(reason, &reject);
        const QString said = QString::fromLatin1(reason.c_str()).replace(QLatin1Char('\n'), QStringLiteral(", "));
        if (error)
            *error = conditionText(cond, called, QStringLiteral("A-ASSOCIATE")) + QStringLiteral(" (") + said.simplified()
                     + QLatin1Char(')');
        abort();
        return false;
    }
    if (cond.bad()) {
        if (!m_assoc)
            ASC_destroyAssociationParameters(&params);
        return fail(cond);
    }
    if (ASC_countAcceptedPresentationContexts(m_assoc->params) == 0) {
        if (error)
            *error = failureText(QStringLiteral("no presentation context accepted"), called,
                                 QStringLiteral("A-ASSOCIATE"));
        abort();
        return false;
    }
    m_socket = socketOf(m_assoc);
    setNoDelay(m_socket);
    return true;
}

void ScuAssociation::release()
{
    if (m_assoc) {
        if (ASC_releaseAssociation(m_assoc).bad())
            ASC_abortAssociation(m_assoc);
        ASC_destroyAssociation(&m_assoc);
        m_assoc = nullptr;
    }
    abort();
}

void ScuAssociation::abort()
{
    if (m_assoc) {
        ASC_abortAssociation(m_assoc);
        ASC_destroyAssociation(&m_assoc);
        m_assoc = nullptr;
    }
    if (m_net)
        ASC_dropNetwork(&m_net);
    m_net = nullptr;
    m_socket = -1;
}

void ScuAssociation::interrupt()
{
    if (m_socket >= 0)
        ::shutdown(m_socket, SHUT_RDWR);
}

int ScuAssociation::echo(QString *error)
{
    if (!m_assoc) {
        if (error)
            *error = QStringLiteral("C-ECHO: not connected");
        return -1;
    }
    DIC_US status = 0;
    DcmDataset *detail = nullptr;
    const OFCondition cond = DIMSE_echoUser(m_assoc, ++m_assoc->nextMsgID, DIMSE_BLOCKING, 0, &status, &detail);
    delete detail;
    if (cond.bad()) {
        if (error)
            *error = conditionText(cond, m_called, QStringLiteral("C-ECHO"));
        return -1;
    }
    return status;
}

bool ScuAssociation::covers(const std::vector<FileHeader> &files, E_TransferSyntax compression) const
{
    if (!m_assoc)
        return false;
    // Each lookup walks the association's contexts (up to 128, each fetched by
    // position); a study's files share a few kinds, each checked once.
    std::set<std::pair<std::string, int>> checked;
    for (const FileHeader &header : files) {
        if (!checked.emplace(header.sopClass, int(header.xfer)).second)
            continue;
        bool ok = acceptedContext(m_assoc, header.sopClass.c_str(), header.xfer) != 0;
        for (E_TransferSyntax t : {compression, EXS_LittleEndianExplicit, EXS_LittleEndianImplicit}) {
            if (!ok && t != EXS_Unknown && canConvert(header.xfer, t))
                ok = acceptedContext(m_assoc, header.sopClass.c_str(), t) != 0;
        }
        if (!ok)
            return false;
        // Compression asked for after the association was opened (a C-MOVE
        // connects first): the peer must at least have been offered it.
        const bool wantsCompression = compression != EXS_Unknown && !isUncompressed(compression)
                                      && (!isLossy(header.xfer) || header.xfer == compression)
                                      && canConvert(header.xfer, compression);
        if (wantsCompression && !proposedContext(m_assoc, header.sopClass.c_str(), compression))
            return false;
        // A compressed file goes as it is where the peer takes its syntax;
        // an association that never offered it would make every file decode.
        if (!isUncompressed(header.xfer) && !wantsCompression
            && !proposedContext(m_assoc, header.sopClass.c_str(), header.xfer))
            return false;
    }
    return true;
}

namespace {
int chooseContext(const AcceptedContexts &contexts, DcmDataset &dataset, E_TransferSyntax original,
                  const StoreOptions &options, StoreOutcome &outcome);
StoreOutcome sendDataset(T_ASC_Association *assoc, DcmDataset &dataset, int presId, const StoreOptions &options,
                         StoreOutcome outcome);
} // namespace

PreparedStore prepareFile(const AcceptedContexts &contexts, const QString &path, const StoreOptions &options)
{
    PreparedStore prepared;
    prepared.file = std::make_shared<DcmFileFormat>();
    const OFCondition cond = loadWholeFile(*prepared.file, path);
    if (cond.bad()) {
        prepared.outcome.error = conditionText(cond, QString(), QStringLiteral("C-STORE: cannot read ") + path);
        prepared.ready = false;
        return prepared;
    }
    DcmDataset &dataset = *prepared.file->getDataset();
    prepared.presId = chooseContext(contexts, dataset, dataset.getOriginalXfer(), options, prepared.outcome);
    prepared.ready = prepared.presId != 0;
    return prepared;
}

StoreOutcome sendPrepared(T_ASC_Association *assoc, PreparedStore &prepared, const StoreOptions &options)
{
    if (!prepared.ready)
        return prepared.outcome;
    return sendDataset(assoc, *prepared.file->getDataset(), prepared.presId, options, prepared.outcome);
}

StoreOutcome storeFile(T_ASC_Association *assoc, const QString &path, const StoreOptions &options)
{
    PreparedStore prepared = prepareFile(AcceptedContexts::of(assoc), path, options);
    return sendPrepared(assoc, prepared, options);
}

StoreOutcome storeDataset(T_ASC_Association *assoc, DcmDataset &dataset, E_TransferSyntax original,
                          const StoreOptions &options)
{
    StoreOutcome outcome;
    const int presId = chooseContext(AcceptedContexts::of(assoc), dataset, original, options, outcome);
    if (presId == 0)
        return outcome;
    return sendDataset(assoc, dataset, presId, options, outcome);
}

namespace {
// The context to send in, with the dataset brought into its syntax; 0 (and
// outcome.error) when none fits.
int chooseContext(const AcceptedContexts &contexts, DcmDataset &dataset, E_TransferSyntax original,
                  const StoreOptions &options, StoreOutcome &outcome)
{
    OFString sopClass, sopInstance;
    dataset.findAndGetOFString(DCM_SOPClassUID, sopClass);
    dataset.findAndGetOFString(DCM_SOPInstanceUID, sopInstance);
    outcome.sopInstanceUid = QString::fromLatin1(sopInstance.c_str());
    if (!contexts.connected) {
        outcome.error = QStringLiteral("C-STORE: not connected");
        return 0;
    }
    if (sopClass.empty() || sopInstance.empty()) {
        outcome.error = QStringLiteral("C-STORE: dataset without SOP Class or SOP Instance UID");
        return 0;
    }
    // Preferred order: the requested compression, the syntax as stored, uncompressed, lossless JPEG.
    // Compression is for pixels that are still exact: a lossy image is not
    // compressed a second time, and a dataset without pixels has nothing to compress.
    const bool hasPixels = dataset.tagExistsWithValue(DCM_PixelData);
    const E_TransferSyntax compression =
        hasPixels && (!isLossy(original) || original == options.compression) ? options.compression : EXS_Unknown;
    int presId = 0;
    for (E_TransferSyntax t : {compression, original, EXS_LittleEndianExplicit, EXS_LittleEndianImplicit,
                               EXS_BigEndianExplicit, EXS_JPEGProcess14, EXS_JPEGProcess14SV1}) {
        if (t == EXS_Unknown || (t != original && isLossy(t) && t != compression))
            continue;
        const int id = contexts.find(sopClass.c_str(), t);
        if (id != 0 && transcode(dataset, original, t, options.quality)) {
            presId = id;
            break;
        }
    }
    // Last resort: any other syntax the peer took for this class that keeps the
    // pixels exact (a C-GET requester may have offered JPEG 2000 only; it gets
    // a reversible code stream).
    for (const AcceptedContexts::Entry &pc : contexts.entries) {
        if (presId != 0)
            break;
        if (pc.abstractSyntax != sopClass.c_str())
            continue;
        const E_TransferSyntax t = pc.xfer;
        if (t == EXS_Unknown || (isLossy(t) && t != EXS_JPEG2000 && t != original))
            continue;
        if (transcode(dataset, original, t, 0))
            presId = pc.id;
    }
    if (presId == 0) {
        outcome.error = QStringLiteral("C-STORE to ") + options.remoteAe + QStringLiteral(": no accepted presentation context for ")
                        + QString::fromLatin1(dcmFindNameOfUID(sopClass.c_str(), sopClass.c_str())) + QStringLiteral(" in a usable transfer syntax");
        return 0;
    }
    return presId;
}

StoreOutcome sendDataset(T_ASC_Association *assoc, DcmDataset &dataset, int presId, const StoreOptions &options,
                         StoreOutcome outcome)
{
    OFString sopClass, sopInstance;
    dataset.findAndGetOFString(DCM_SOPClassUID, sopClass);
    dataset.findAndGetOFString(DCM_SOPInstanceUID, sopInstance);
    T_DIMSE_C_StoreRQ request{};
    request.MessageID = assoc->nextMsgID++;
    OFStandard::strlcpy(request.AffectedSOPClassUID, sopClass.c_str(), sizeof(request.AffectedSOPClassUID));
    OFStandard::strlcpy(request.AffectedSOPInstanceUID, sopInstance.c_str(), sizeof(request.AffectedSOPInstanceUID));
    request.DataSetType = DIMSE_DATASET_PRESENT;
    request.Priority = DIMSE_PRIORITY_MEDIUM;
    if (!options.moveOriginatorAe.isEmpty()) {
        request.opts = O_STORE_MOVEORIGINATORAETITLE | O_STORE_MOVEORIGINATORID;
        OFStandard::strlcpy(request.MoveOriginatorApplicationEntityTitle, options.moveOriginatorAe.toLatin1().constData(),
                            sizeof(request.MoveOriginatorApplicationEntityTitle));
        request.MoveOriginatorID = DIC_US(options.moveOriginatorId);
    }
    T_DIMSE_C_StoreRSP response{};
    DcmDataset *detail = nullptr;
    const OFCondition cond = DIMSE_storeUser(assoc, T_ASC_PresentationContextID(presId), &request, nullptr, &dataset, nullptr, nullptr,
                                             DIMSE_NONBLOCKING, kDimseTimeout, &response, &detail);
    delete detail;
    if (cond.bad()) {
        outcome.error = conditionText(cond, options.remoteAe, QStringLiteral("C-STORE"));
        outcome.linkLost = true;
        return outcome;
    }
    const unsigned status = response.DimseStatus;
    if (status == STATUS_Success)
        outcome.kind = StoreOutcome::Completed;
    else if ((status & 0xF000) == 0xB000) {
        outcome.kind = StoreOutcome::Warning;
    } else {
        outcome.error = QStringLiteral("C-STORE to %1: status 0x%2").arg(options.remoteAe).arg(status, 4, 16, QLatin1Char('0'));
    }
    return outcome;
}
} // namespace

} // namespace pacs::toolkit::detail
