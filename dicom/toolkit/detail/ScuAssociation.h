#pragma once

// The requesting side of DICOM: one outgoing association, the presentation
// contexts to propose, and the C-STORE of one file or dataset over any
// association (also an incoming one, for C-GET sub-operations).

#include <QString>
#include <QStringList>

#include <dcmtk/dcmdata/dcxfer.h>

#include <memory>
#include <string>
#include <vector>

struct T_ASC_Association;
struct T_ASC_Network;
class DcmDataset;
class DcmFileFormat;

namespace pacs::toolkit::detail {

struct FileHeader;

struct ProposedContext
{
    std::string abstractSyntax;
    std::vector<std::string> transferSyntaxes;
};

// Verification plus the common storage classes, uncompressed (and `compression`
// when an encoder for it is registered).
std::vector<ProposedContext> defaultProposal(E_TransferSyntax compression);
// Contexts that fit the given files: their own syntax, uncompressed, and `compression`.
std::vector<ProposedContext> proposalForFiles(const std::vector<FileHeader> &files, E_TransferSyntax compression);

class ScuAssociation
{
public:
    ScuAssociation() = default;
    ~ScuAssociation();
    ScuAssociation(const ScuAssociation &) = delete;
    ScuAssociation &operator=(const ScuAssociation &) = delete;

    bool open(const QString &address, int port, const QString &calling, const QString &called,
              const std::vector<ProposedContext> &contexts, QString *error);
    bool isOpen() const { return m_assoc != nullptr; }
    void release();
    void abort();
    // Wakes a thread blocked on this association (from any thread); the owner still aborts it.
    void interrupt();
    // DIMSE status of the C-ECHO, or -1 with *error set.
    int echo(QString *error);
    // Whether every file could go over the association as negotiated, and
    // `compression` was offered for every file it could apply to (files that
    // could not be read are left out of `files`: they fail on their own when sent).
    bool covers(const std::vector<FileHeader> &files, E_TransferSyntax compression) const;

    T_ASC_Association *association() const { return m_assoc; }
    const QString &calledTitle() const { return m_called; }

private:
    T_ASC_Network *m_net = nullptr;
    T_ASC_Association *m_assoc = nullptr;
    QString m_called;
    int m_socket = -1;
};

struct StoreOutcome
{
    enum Kind { Completed, Warning, Failed } kind = Failed;
    QString sopInstanceUid;
    QString error;
    bool linkLost = false; // the association failed; later sub-operations cannot go over it
};

struct StoreOptions
{
    E_TransferSyntax compression = EXS_Unknown;
    int quality = 0;
    QString remoteAe;            // for error texts
    QString moveOriginatorAe;    // set for C-MOVE sub-operations
    int moveOriginatorId = -1;
};

// A file read and brought into the syntax it goes in, ready to send: the
// reading and decoding of the next file can run while the current one is sent.
struct PreparedStore
{
    std::shared_ptr<DcmFileFormat> file;
    int presId = 0;
    bool ready = false;   // false: outcome says why it cannot go
    StoreOutcome outcome; // filled as far as known before sending
};
// The accepted presentation contexts of an association, read once. DCMTK's
// lists keep their iteration state inside the list, so the list must never
// be walked from two threads at once: the read-ahead chooses the contexts of
// the next files from this copy while the send walks the association's own.
struct AcceptedContexts
{
    struct Entry
    {
        int id = 0;
        std::string abstractSyntax;
        E_TransferSyntax xfer = EXS_Unknown;
    };
    bool connected = false;
    std::vector<Entry> entries;

    static AcceptedContexts of(T_ASC_Association *assoc);
    // The context for this abstract syntax in exactly this transfer syntax; 0 if none.
    int find(const char *abstractSyntax, E_TransferSyntax xfer) const;
};

PreparedStore prepareFile(const AcceptedContexts &contexts, const QString &path, const StoreOptions &options);
StoreOutcome sendPrepared(T_ASC_Association *assoc, PreparedStore &prepared, const StoreOptions &options);

StoreOutcome storeFile(T_ASC_Association *assoc, const QString &path, const StoreOptions &options);
StoreOutcome storeDataset(T_ASC_Association *assoc, DcmDataset &dataset, E_TransferSyntax original,
                          const StoreOptions &options);

// The accepted presentation context for this abstract syntax in exactly this transfer syntax; 0 if none.
int acceptedContext(T_ASC_Association *assoc, const char *abstractSyntax, E_TransferSyntax xfer);

// Whether this association offered the abstract syntax in this transfer syntax (accepted or not).
bool proposedContext(T_ASC_Association *assoc, const char *abstractSyntax, E_TransferSyntax xfer);

// The socket under an association (for TCP options and for interrupting it).
int socketOf(T_ASC_Association *assoc);

} // namespace pacs::toolkit::detail
