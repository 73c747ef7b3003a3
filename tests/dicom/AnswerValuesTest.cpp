#include "tests/dicom/ReceptionFixture.h"

#include "dicom/toolkit/ToolkitImage.h"

#include <QDir>
#include <QFile>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

using namespace pacs;
using namespace pacs::test;

// What received values become in the archive and in C-FIND answers, seen
// through DCMTK's findscu and getscu: names in every character set, empty
// elements, dates the image never had, names as DICOM writes them.
namespace {

// One response of findscu -X as DCMTK reads it: the (0008,0005) it carries
// and each value converted by DCMTK from that set to UTF-8.
struct Answer
{
    QString charset;
    DcmFileFormat file;
    bool readable = false;
    // Zero length and absent are told apart: absent is "<absent>".
    QString value(const DcmTagKey &key)
    {
        DcmElement *element = nullptr;
        if (file.getDataset()->findAndGetElement(key, element).bad() || !element)
            return QStringLiteral("<absent>");
        OFString text;
        element->getOFStringArray(text);
        return QString::fromUtf8(text.c_str(), qsizetype(text.length()));
    }
};

class AnswerFixture : public ReceptionFixture
{
protected:
    std::vector<std::unique_ptr<Answer>> find(const QStringList &keys)
    {
        const QString dir = scratch.path(QString("answers%1").arg(++m_finds));
        QDir().mkpath(dir);
        QStringList args{"-S", "-aec", "TALMIR", "-X", "-od", dir};
        for (const QString &k : keys)
            args << "-k" << k;
        args << "127.0.0.1" << QString::number(port());
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start("findscu", args);
        process.waitForStarted();
        waitUntil([&] { return process.state() == QProcess::NotRunning; }, 60000);
        m_lastOutput = QString::fromLocal8Bit(process.readAll());
        std::vector<std::unique_ptr<Answer>> answers;
        for (const QString &name : QDir(dir).entryList(QDir::Files, QDir::Name)) {
            auto answer = std::make_unique<Answer>();
            answer->readable = answer->file.loadFile(QFile::encodeName(dir + "/" + name).constData()).good();
            OFString charset;
            answer->file.getDataset()->findAndGetOFStringArray(DCM_SpecificCharacterSet, charset);
            answer->charset = QString::fromLatin1(charset.c_str());
            // DCMTK's own conversion: fails where an answer's bytes are not in the set it declares.
            EXPECT_TRUE(answer->file.getDataset()->convertToUTF8().good()) << name.toStdString();
            answers.push_back(std::move(answer));
        }
        return answers;
    }

    // The one answer for a patient ID; fails the test when there is not exactly one.
    std::unique_ptr<Answer> only(const QString &patientId, const QStringList &keys)
    {
        auto answers = find(QStringList{"QueryRetrieveLevel=STUDY", "PatientID=" + patientId} + keys);
        EXPECT_EQ(answers.size(), 1u) << patientId.toStdString() << m_lastOutput.toStdString();
        return answers.size() == 1 ? std::move(answers.front()) : std::make_unique<Answer>();
    }

    SampleSpec named(const QString &patientId, const QString &charset, const QByteArray &nameBytes)
    {
        SampleSpec spec;
        spec.patientId = patientId;
        if (!charset.isEmpty())
            spec.elements["0008,0005"] = charset;
        spec.rawElements["0010,0010"] = nameBytes;
        return spec;
    }

    int m_finds = 0;
    QString m_lastOutput;
};

} // namespace

TEST_F(AnswerFixture, NamesInEveryCharacterSetAreAnsweredInUtf8AndSaySo)
{
    const QStringList files{
        sample("ja", named("JA1", "ISO_IR 192", QString::fromUtf8("山田^太郎").toUtf8())),
        sample("de", named("DE1", "ISO_IR 100", QByteArray("M\xfcller^J\xfcrgen"))),
        sample("ru", named("RU1", "ISO_IR 144", QByteArray("\xb8\xd2\xd0\xdd\xde\xd2^\xbf\xf1\xe2\xe0"))),
        sample("el", named("EL1", "ISO_IR 126", QByteArray("\xc4\xe9\xef\xed\xf5\xf3\xe9\xef\xf2"))),
        sample("ar", named("AR1", "ISO_IR 127", QByteArray("\xe2\xc8\xc7\xe6\xea^\xe4\xe6\xd2\xc7\xd1"))),
        sample("he", named("HE1", "ISO_IR 138", QByteArray("\xf9\xf8\xe5\xef^\xe3\xe1\xe5\xf8\xe4"))),
        sample("th", named("TH1", "ISO_IR 166", QByteArray("\xbb\xc3\xd0\xe0\xb7\xc8\xe4\xb7\xc2"))),
        // 區 (0x85 0x5E) holds a "^" byte: it must not split the name.
        sample("zh", named("ZH1", "GB18030", QByteArray("\x85^^\xd0\xa1^\xcd\xf5"))),
        sample("ascii", named("EN1", "", QByteArray("SMITH^JOHN"))),
    };
    start();
    ASSERT_EQ(send(files).success, int(files.size())) << errors().toStdString();

    const struct
    {
        const char *patient, *name;
    } expected[] = {{"JA1", "山田^太郎"}, {"DE1", "Müller^Jürgen"}, {"RU1", "Иванов^Пётр"}, {"EL1", "Διονυσιος"},
                    {"AR1", "قباني^لنزار"}, {"HE1", "שרון^דבורה"}, {"TH1", "ประเทศไทย"}, {"ZH1", "區^小^王"}};
    for (const auto &e : expected) {
        auto answer = only(e.patient, {"PatientName", "StudyInstanceUID"});
        EXPECT_EQ(answer->charset, "ISO_IR 192") << e.patient;
        EXPECT_EQ(answer->value(DCM_PatientName), QString::fromUtf8(e.name)) << e.patient;
    }
    // Held as Unicode: the last name column is the family name itself.
    EXPECT_EQ(scalar("select Name_Last from PatientTable where PatientID='DE1'"), QString::fromUtf8("Müller"));
    EXPECT_EQ(scalar("select Name_Last from PatientTable where PatientID='ZH1'"), QString::fromUtf8("區"));
    // A plain ASCII answer needs no declaration.
    auto ascii = only("EN1", {"PatientName"});
    EXPECT_EQ(ascii->charset, "");
    EXPECT_EQ(ascii->value(DCM_PatientName), "SMITH^JOHN");

    // A key in Japanese finds its patient.
    auto answers = find({"QueryRetrieveLevel=STUDY", "SpecificCharacterSet=ISO_IR 192", "PatientName=山田*", "PatientID"});
    ASSERT_EQ(answers.size(), 1u) << m_lastOutput.toStdString();
    EXPECT_EQ(answers.front()->value(DCM_PatientID), "JA1");

    // The stored file keeps the set the image came in.
    const QString stored = scalar("select i.Filename from ImageTable i join SeriesTable s on s.SeriesUID=i.SeriesUID_FKey "
                                  "join StudyTable t on t.StudyUID=s.StudyUID_FKey where t.PatientID_FKey='DE1'");
    EXPECT_EQ(fileElement(stored, 0x08, 0x05), "ISO_IR 100");
    DcmFileFormat file;
    ASSERT_TRUE(file.loadFile(QFile::encodeName(stored).constData()).good());
    OFString raw;
    file.getDataset()->findAndGetOFStringArray(DCM_PatientName, raw);
    EXPECT_EQ(QByteArray(raw.c_str()), QByteArray("M\xfcller^J\xfcrgen"));
}

TEST_F(AnswerFixture, AJapaneseNameWithEscapeSequencesKeepsItsGroups)
{
    // The standard's own example: its phonetic group holds ま (0x24 0x5E in JIS X 0208).
    const QByteArray yamada("Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B=\x1b$B$d$^$@\x1b(B^\x1b$B$?$m$&\x1b(B");
    SampleSpec spec = named("JIS1", "\\ISO 2022 IR 87", yamada);
    spec.studyUid = "1.2.9.87";
    // Without an alphabetic group the ideographic one is the name.
    SampleSpec kanjiOnly = named("JIS2", "\\ISO 2022 IR 87", QByteArray("=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B=\x1b$B$d$^$@\x1b(B"));
    start();
    ASSERT_EQ(send({sample("jis1", spec), sample("jis2", kanjiOnly)}).success, 2) << errors().toStdString();

    EXPECT_EQ(scalar("select Name_Last + '|' + Name_First + '|' + Name_Middle from PatientTable where PatientID='JIS1'"),
              "Yamada|Tarou|");
    EXPECT_EQ(only("JIS1", {"PatientName"})->value(DCM_PatientName), "Yamada^Tarou");
    EXPECT_EQ(only("JIS2", {"PatientName"})->value(DCM_PatientName), QString::fromUtf8("山田^太郎"));
    EXPECT_TRUE(m_controller->log().receivedText().contains(QString::fromUtf8(" L: 山田 F: 太郎 M:")))
        << m_controller->log().receivedText().toStdString();

    // Retrieved, the file is the one received: its set, its bytes, all three groups.
    const QString dir = scratch.path("got");
    QDir().mkpath(dir);
    const ToolResult get = runTool("getscu", {"-S", "-aec", "TALMIR", "-od", dir, "-k", "QueryRetrieveLevel=STUDY", "-k",
                                              "StudyInstanceUID=1.2.9.87", "127.0.0.1", QString::number(port())},
                                   60000);
    ASSERT_EQ(get.exitCode, 0) << get.output.toStdString();
    const QStringList got = QDir(dir).entryList(QDir::Files);
    ASSERT_EQ(got.size(), 1);
    const QString file = dir + "/" + got.first();
    EXPECT_EQ(fileElement(file, 0x08, 0x05), "\\ISO 2022 IR 87");
    DcmFileFormat format;
    ASSERT_TRUE(format.loadFile(QFile::encodeName(file).constData()).good());
    OFString raw;
    format.getDataset()->findAndGetOFStringArray(DCM_PatientName, raw);
    EXPECT_EQ(QByteArray(raw.c_str(), qsizetype(raw.length())), yamada);
    toolkit::ToolkitImage image;
    ASSERT_TRUE(image.readFile(file));
    EXPECT_EQ(image.patientName(), QString::fromUtf8("Yamada^Tarou=山田^太郎=やまだ^たろう"));
}

TEST_F(AnswerFixture, AnEmptyAccessionNumberLeavesTheWorksheetAlone)
{
    setSetting("Main", "optBrackmoor", "True");
    start();
    m_controller->connection().ExecuteSQL("insert into HIS..worksheet (qnumber, HospNum, ExamName, status) values ('', 'P9', 'CR HAND', 0)");
    SampleSpec empty;
    empty.patientId = "P9";
    empty.elements["0008,0050"] = "";
    empty.emptyElements << "0008,0050";
    SampleSpec ordered;
    ordered.patientId = "P10";
    ordered.elements["0008,0050"] = "R124";
    ASSERT_EQ(send({sample("empty", empty), sample("ordered", ordered)}).success, 2) << errors().toStdString();
    EXPECT_EQ(scalar("select status from HIS..worksheet where qnumber=''"), "0") << "the row without a number stays open";
    EXPECT_EQ(scalar("select status from HIS..worksheet where qnumber='R124'"), "1");
    EXPECT_EQ(scalar("select AccessionNumber from StudyTable where PatientID_FKey='P9'"), "");
}

TEST_F(AnswerFixture, DatesAndTimesTheImageNeverHadAreAnsweredEmpty)
{
    SampleSpec absent;
    absent.patientId = "ND1";
    absent.elements["0008,0020"] = "";
    absent.elements["0008,0030"] = "";
    SampleSpec empty;
    empty.patientId = "ND2";
    empty.elements["0008,0020"] = "";
    empty.elements["0008,0030"] = "";
    empty.emptyElements << "0008,0020" << "0008,0030";
    SampleSpec dated;
    dated.patientId = "ND3";
    start();
    ASSERT_EQ(send({sample("absent", absent), sample("empty", empty), sample("dated", dated)}).success, 3) << errors().toStdString();

    EXPECT_EQ(count("select count(*) from StudyTable where StudyDate is null and StudyTime is null"), 2);
    for (const char *patient : {"ND1", "ND2"}) {
        auto answer = only(patient, {"StudyDate", "StudyTime", "StudyInstanceUID"});
        EXPECT_EQ(answer->value(DCM_StudyDate), "") << patient;
        EXPECT_EQ(answer->value(DCM_StudyTime), "") << patient;
    }
    auto answer = only("ND3", {"StudyDate", "StudyTime"});
    EXPECT_EQ(answer->value(DCM_StudyDate), "20240115");
    EXPECT_EQ(answer->value(DCM_StudyTime), "103000");
    // An absent time is reported; an empty one is a time given as unknown, not missing.
    EXPECT_EQ(errors().count("No Study Time."), 1) << errors().toStdString();
    EXPECT_FALSE(logText().contains("not readable")) << logText().toStdString();
    // A date range does not find what has no date; an empty key restricts nothing.
    EXPECT_EQ(find({"QueryRetrieveLevel=STUDY", "StudyDate=19000101-19001231", "PatientID"}).size(), 0u);
    EXPECT_EQ(find({"QueryRetrieveLevel=STUDY", "StudyDate", "PatientID"}).size(), 3u);
    EXPECT_EQ(find({"QueryRetrieveLevel=STUDY", "StudyDate=20240115", "PatientID"}).size(), 1u);
}

TEST_F(AnswerFixture, NamesAreAnsweredAsDicomWritesThem)
{
    SampleSpec obrien;
    obrien.patientId = "N1";
    obrien.patientName = "O'BRIEN^MICHAEL";
    obrien.elements["0008,0090"] = "D'ARCY^ANNE";
    SampleSpec smith;
    smith.patientId = "N2";
    smith.patientName = "SMITH^JOHN";
    SampleSpec titled;
    titled.patientId = "N3";
    titled.patientName = "DOE, JANE^A^DR";
    SampleSpec single;
    single.patientId = "N4";
    single.patientName = "MADONNA";
    start();
    ASSERT_EQ(send({sample("obrien", obrien), sample("smith", smith), sample("titled", titled), sample("single", single)}).success, 4);

    // Stored SQL-ready, as the last-name check expects...
    EXPECT_EQ(scalar("select Name_Last from PatientTable where PatientID='N1'"), "O''BRIEN");
    // ... answered as the image had it.
    auto answer = only("N1", {"PatientName", "ReferringPhysicianName"});
    EXPECT_EQ(answer->value(DCM_PatientName), "O'BRIEN^MICHAEL");
    EXPECT_EQ(answer->value(DCM_ReferringPhysicianName), "D'ARCY^ANNE");
    EXPECT_EQ(only("N2", {"PatientName"})->value(DCM_PatientName), "SMITH^JOHN");
    EXPECT_EQ(only("N3", {"PatientName"})->value(DCM_PatientName), "DOE^JANE^A^DR");
    EXPECT_EQ(only("N4", {"PatientName"})->value(DCM_PatientName), "MADONNA");
    // The apostrophe in a key still finds the name.
    auto found = find({"QueryRetrieveLevel=STUDY", "PatientName=O'BRIEN*", "PatientID"});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.front()->value(DCM_PatientID), "N1");
}
