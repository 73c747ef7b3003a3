#pragma once

// Shared pieces of the toolkit tests: a recording event handler and a
// listener on a port of its own. Peers and sample files come from
// pacs_test_support (Peers.h, SampleImages.h).

#include "dicom/toolkit/ToolkitConnection.h"
#include "dicom/toolkit/ToolkitEvents.h"
#include "dicom/toolkit/ToolkitImage.h"
#include "dicom/toolkit/ToolkitListener.h"
#include "tests/support/Peers.h"
#include "tests/support/SampleImages.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <memory>

namespace pacs::toolkit::test {

// DCMTK's tools and storescp as peers come from pacs_test_support (Peers.h).
using pacs::test::HeldPort;
using pacs::test::runTool;
using pacs::test::StoreScpProcess;
using pacs::test::ToolProcess;
using pacs::test::ToolResult;

// Records what the toolkit reports and answers in the program's usual way;
// each answer can be replaced by a hook.
class Recorder : public ToolkitEvents
{
public:
    void associationRequest(ToolkitConnection &connection, bool &isOK) override;
    void verifyReceived(ToolkitConnection &connection, int &status) override;
    void imageReceived(ToolkitConnection &connection, ToolkitImage &image) override;
    void queryRequest(ToolkitConnection &connection) override;
    void actionUpdate(ToolkitConnection &connection, const QString &action, const QString &tag, int responseType,
                      int lastResponse) override;
    void actionComplete(ToolkitConnection &connection, const QString &action, const QString &tag, bool success,
                        const QString &errorMessage) override;
    void outgoingActionComplete(ToolkitConnection &connection, const QString &action, const QString &tag,
                                bool success, const QString &errorMessage) override;
    void outgoingActionUpdate(ToolkitConnection &connection, const QString &action, const QString &tag,
                              int responseType, int lastResponse) override;
    void outgoingAssociationClosed(ToolkitConnection &connection) override;

    // Default for images: save under storeDir (JPEG Lossless), status 0 on completion.
    QString storeDir;
    std::function<void(ToolkitConnection &, bool &)> onAssociation;
    std::function<void(ToolkitConnection &, int &)> onVerify;
    std::function<void(ToolkitConnection &, ToolkitImage &)> onImage;
    std::function<void(ToolkitConnection &)> onQuery;
    std::function<void(ToolkitConnection &, const QString &, bool, const QString &)> onComplete;
    std::function<void(ToolkitConnection &, const QString &, bool, const QString &)> onOutgoingComplete;

    struct Completion
    {
        QString action;
        QString tag;
        bool success = false;
        QString error;
    };
    QList<Completion> completions;         // incoming associations
    QList<Completion> outgoingCompletions; // newConnection() connections
    QStringList callingTitles, calledTitles;
    QList<QList<ToolkitContext>> offered;
    QStringList receivedUids, savedPaths;
    QStringList commands, roots, levels, moveDestinations;
    int echoes = 0;
    int updates = 0;
    int outgoingClosed = 0;
    bool offMainThread = false; // set when any event arrived on another thread

private:
    void checkThread();
};

// A listener with a Recorder on a free port of 127.0.0.1, and a scratch folder.
struct ListenerFixture
{
    ListenerFixture();
    QString path(const QString &name) const { return dir.path() + QLatin1Char('/') + name; }
    QString portText() const { return QString::number(listener.listeningPort()); }

    QTemporaryDir dir;
    Recorder events;
    ToolkitListener listener{&events};
};

// Test DICOM files come from the shared generator.
using pacs::test::fileElement;
using pacs::test::fileTransferSyntax;
using pacs::test::SampleKind;
using pacs::test::SampleSpec;
using pacs::test::writeSample;

} // namespace pacs::toolkit::test
