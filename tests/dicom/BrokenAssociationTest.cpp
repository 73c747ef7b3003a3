#include "tests/dicom/ReceptionFixture.h"

#include <QByteArray>

#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>

#include <atomic>
#include <thread>

using namespace pacs;
using namespace pacs::test;

namespace {

// One element of a command, implicit VR little endian.
void putElement(QByteArray &out, quint16 element, const QByteArray &value)
{
    QByteArray padded = value;
    if (padded.size() % 2)
        padded.append('\0'); // UIDs are padded with a zero byte
    const quint32 length = quint32(padded.size());
    const char header[8] = {0, 0, char(element & 0xFF), char(element >> 8), char(length & 0xFF), char((length >> 8) & 0xFF),
                            char((length >> 16) & 0xFF), char(length >> 24)};
    out.append(header, 8);
    out.append(padded);
}

QByteArray us(quint16 value)
{
    return QByteArray(1, char(value & 0xFF)) + QByteArray(1, char(value >> 8));
}

// A modality that sends a C-STORE request announcing a dataset and aborts
// before the dataset. DCMTK's requesting side, on a thread of its own (the
// program's handlers need this thread's event loop meanwhile); the command
// goes out as one PDV, since DCMTK's DIMSE layer sends no command without
// its dataset.
bool storeCommandThenAbort(int port, const char *callingAe)
{
    T_ASC_Network *net = nullptr;
    if (ASC_initializeNetwork(NET_REQUESTOR, 0, 30, &net).bad())
        return false;
    T_ASC_Parameters *params = nullptr;
    ASC_createAssociationParameters(&params, ASC_DEFAULTMAXPDU);
    ASC_setAPTitles(params, callingAe, "TALMIR", nullptr);
    const OFString peer = "127.0.0.1:" + OFString(std::to_string(port).c_str());
    ASC_setPresentationAddresses(params, "localhost", peer.c_str());
    const char *syntaxes[] = {UID_LittleEndianImplicitTransferSyntax};
    ASC_addPresentationContext(params, 1, UID_SecondaryCaptureImageStorage, syntaxes, 1);
    T_ASC_Association *assoc = nullptr;
    bool sent = false;
    if (ASC_requestAssociation(net, params, &assoc).good() && ASC_countAcceptedPresentationContexts(assoc->params) == 1) {
        QByteArray elements;
        putElement(elements, 0x0002, UID_SecondaryCaptureImageStorage);
        putElement(elements, 0x0100, us(0x0001)); // C-STORE-RQ
        putElement(elements, 0x0110, us(1));      // message ID
        putElement(elements, 0x0700, us(0));      // medium priority
        putElement(elements, 0x0800, us(0x0000)); // a dataset follows
        putElement(elements, 0x1000, "1.2.3.4.5");
        QByteArray command;
        const quint32 length = quint32(elements.size());
        putElement(command, 0x0000, QByteArray(reinterpret_cast<const char *>(&length), 4));
        command += elements;
        DUL_PDV pdv{quint32(command.size()), 1, DUL_COMMANDPDV, OFTrue, command.data()};
        DUL_PDVLIST list{};
        list.count = 1;
        list.pdv = &pdv;
        sent = DUL_WritePDVs(&assoc->DULassociation, &list).good();
        ASC_abortAssociation(assoc);
    }
    if (assoc)
        ASC_destroyAssociation(&assoc);
    else
        ASC_destroyAssociationParameters(&params);
    ASC_dropNetwork(&net);
    return sent;
}

} // namespace

TEST_F(ReceptionFixture, APeerThatAbortsInTheMiddleOfAStoreIsLoggedWithTitleCommandAndReason)
{
    start();
    const int listening = port();
    std::atomic<bool> done{false};
    bool sent = false;
    std::thread modality([&] {
        sent = storeCommandThenAbort(listening, "BROKENSCU");
        done = true;
    });
    const QString expected = QStringLiteral("C-STORE with BROKENSCU: ") + QString::fromLatin1(OFCondition(DUL_PEERABORTEDASSOCIATION).text());
    const bool logged = waitUntil([&] { return done && logText().contains(expected); }, 30000);
    modality.join();
    ASSERT_TRUE(sent);
    EXPECT_TRUE(logged) << logText().toStdString();
    EXPECT_TRUE(logText().contains("Association request from BROKENSCU to TALMIR")) << logText().toStdString();
    EXPECT_EQ(logText().count(expected), 1) << logText().toStdString();

    // The listener goes on serving.
    EXPECT_EQ(send({sample("after", SampleSpec{})}).success, 1) << errors().toStdString();
}
