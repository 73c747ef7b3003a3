// The host framework and the module class on a real archive file: InitVorn,
// the module's members, the default list views, the database utilities and
// the browse sequences of the reference lists and the remote AE list.
#include "core/SettingsStore.h"
#include "db/TsqlTranslator.h"
#include "tests/support/ServerDatabase.h"
#include "tests/db/ArchiveFixture.h"
#include "tools/HostFramework.h"
#include "tools/HostMain.h"
#include "tools/HostProgram.h"
#include "tools/HostTable.h"
#include "tools/ReferenceLists.h"
#include "tools/RemoteAets.h"


using namespace pacs;
using namespace pacs::test;
using pacs::tools::HostFramework;

namespace {

class HostFixture : public ArchiveFixture
{
protected:
    void SetUp() override
    {
        ArchiveFixture::SetUp();
        QString error;
        ASSERT_TRUE(host.InitVorn(error)) << error.toStdString();
        log.clearLog();
    }

    // Activity-log lines, oldest first.
    QStringList logLines() const
    {
        QStringList lines = log.logText().split("\r\n", Qt::SkipEmptyParts);
        std::reverse(lines.begin(), lines.end());
        return lines;
    }
    QStringList views()
    {
        QStringList rows;
        db::ResultSet r = connection.ExecuteSQL("select TableName, ModuleTPX, ViewName, FieldList, FieldSizes from DICOM..ListView order by ID");
        for (; !r.atEnd(); r.moveNext())
            rows << QStringList{r.text(0), r.text(1), r.text(2), r.text(3), r.text(4)}.join('|');
        return rows;
    }
    tools::clsThisClass &module() { return host.module(); }

    SettingsStore settings{scratch.settingsFile()};
    HostFramework host{connection, log, settings};
};

TEST_F(HostFixture, InitVornCreatesTheFrameworkOnceAndHandsOverTheLogon)
{
    tools::HostProgram *program = host.program();
    ASSERT_NE(program, nullptr);
    EXPECT_EQ(host.creations(), 1);
    QString error;
    EXPECT_TRUE(host.InitVorn(error));
    EXPECT_TRUE(host.InitVorn(error));
    EXPECT_EQ(host.creations(), 1);
    EXPECT_EQ(host.program(), program);
    EXPECT_EQ(host.main()->Program(), program);
    EXPECT_EQ(module().Program(), program);
    EXPECT_EQ(tools::clsThisClass::instance(), &module());

    if (ServerDatabase::enabled()) { // "Driver=PostgreSQL;Server=...;Uid=...;Pwd=...;..."
        EXPECT_TRUE(program->db().DriverMethod.startsWith("Driver=")) << program->db().DriverMethod.toStdString();
        EXPECT_EQ(program->db().dbServerName, "127.0.0.1");
        EXPECT_EQ(program->db().DBUser, "pacs");
        EXPECT_EQ(program->db().dbPassword, "pacs");
    } else { // the embedded default string: "Driver=SQLite;Database=archive.db;Attach=..."
        EXPECT_EQ(program->db().DriverMethod, "Driver=SQLite");
        EXPECT_EQ(program->db().dbServerName, "archive.db");
        EXPECT_EQ(program->db().DBUser, "Patient_Data.db,Build_File.db,HIS.db");
        EXPECT_EQ(program->db().dbPassword, "");
    }
    EXPECT_EQ(program->db().DBDriver, 1);
    EXPECT_TRUE(program->db().isConnected());
    EXPECT_EQ(program->Name(), "DICOM");

    const HostFramework::Logon logon = HostFramework::splitConnectionString("Provider=SQLOLEDB.1;Data Source=srv;User ID=sa;Password=a=b");
    EXPECT_EQ(logon.driverMethod, "Provider=SQLOLEDB.1");
    EXPECT_EQ(logon.server, "srv");
    EXPECT_EQ(logon.user, "sa");
    EXPECT_EQ(logon.password, "a=b");
}

TEST(HostFrameworkWithoutArchive, AFailedInitVornIsTriedAgainNextTime)
{
    ScratchHome scratch;
    HomeFolder home{scratch.home()};
    ActivityLog log;
    db::ArchiveConnection connection{home, log};
    SettingsStore settings{scratch.settingsFile()};
    HostFramework host{connection, log, settings};
    QFile::remove(scratch.path("DBServer.txt"));
    QString error;
    EXPECT_FALSE(host.InitVorn(error)); // no DBServer.txt yet
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(host.isInitialised());
    EXPECT_EQ(host.program(), nullptr);
    ASSERT_TRUE(db::ArchiveInstaller(home).install(error)) << error.toStdString();
    EXPECT_TRUE(host.InitVorn(error)) << error.toStdString();
    EXPECT_EQ(host.creations(), 1);
    EXPECT_TRUE(connection.DBConnected());
}

TEST_F(HostFixture, DefaultListViewsForOneSelectorReplacesAllOfTheModule)
{
    module().DefaultListViews("ALL");
    connection.ExecuteSQL("insert into ListView (TableName, ModuleTPX, ViewName) values ('X', 'OTHERMODULE', 'Other')");
    log.clearLog();
    module().DefaultListViews("REMOTEAET");
    EXPECT_EQ(views(), (QStringList{"X|OTHERMODULE|Other||",
                                    "DICOM..REMOTEAETS|ROZAZIZERARARIZAZ|REMOTEAETS|RemoteAET,IPAddress,Port|2000,1500,1500"}));
    EXPECT_EQ(logLines(), (QStringList{"View Created", "Done default list."}));
}

TEST_F(HostFixture, DefaultListViewsForAllOrNothingWritesTheThreeViews)
{
    for (const QString selector : {"ALL", ""}) {
        log.clearLog();
        module().DefaultListViews(selector);
        EXPECT_EQ(views(),
                  (QStringList{"DICOM..REMOTEAETS|ROZAZIZERARARIZAZ|REMOTEAETS|RemoteAET,IPAddress,Port|2000,1500,1500",
                               "DICOM..PatientTable|ROZAZIZERARARIZAZ|PACSPatientList|[PatientID],[Name_First],[Name_Middle],"
                               "[Name_Last],[Name_Title],[DateOfBirth],[Sex] |2000,1500,1500,1500,1500,1500,1500",
                               "Patient_Data..tbMaster|ROZAZIZERARARIZAZ|HISPatients|[HospNum],[LastName],[FirstName],"
                               "[MiddleName],[Sex],[BirthDate]|2000,1500,1500,1500,1500,1500,1500"}))
            << selector.toStdString();
        EXPECT_EQ(logLines(), (QStringList{"View Created", "View Created", "View Created", "Done default list."}));
    }
    // An unknown selector still clears the module's views.
    log.clearLog();
    module().DefaultListViews("NOSUCHVIEW");
    EXPECT_TRUE(views().isEmpty());
    EXPECT_EQ(logLines(), QStringList{"Done default list."});

    // The views name their tables by three-part names the translator resolves.
    module().DefaultListViews("");
    for (const QString &row : views()) {
        const QString table = row.section('|', 0, 0);
        const QString fields = row.section('|', 3, 3);
        bool failed = true;
        db::ResultSet r = connection.ExecuteSQL("select " + fields + " from " + table, failed);
        EXPECT_FALSE(failed) << table.toStdString();
        EXPECT_FALSE(r.isNone());
    }
    db::TsqlTranslator translator;
    EXPECT_EQ(translator.translate("delete from DICOM..ListView where ModuleTPX = 'ROZAZIZERARARIZAZ'").sql,
              "delete from ListView where ModuleTPX = 'ROZAZIZERARARIZAZ'");
    EXPECT_EQ(translator.translate("select * from Patient_Data..tbMaster").sql, "select * from Patient_Data.tbMaster");
}

TEST_F(HostFixture, DefaultListViewsGoesOnPastAFailingStep)
{
    connection.ExecuteSQL("drop table ListView");
    log.clearLog();
    log.clearErrors();
    module().DefaultListViews("");
    const QStringList lines = logLines();
    // The delete and the opening fail, each row cannot be added: described, never "View Created".
    EXPECT_FALSE(lines.contains("View Created")) << lines.join('\n').toStdString();
    EXPECT_EQ(lines.last(), "Done default list.");
    EXPECT_GE(lines.size(), 5);
    EXPECT_GE(lines.filter("ListView", Qt::CaseInsensitive).size(), 2) << lines.join("\n").toStdString();
    EXPECT_EQ(lines.count("The table is not open."), 3 * 7);
}

TEST_F(HostFixture, DBConvertRaisesTheModuleVersionToTwoAndStoresIt)
{
    module().DBVersionDetected = 0;
    module().DBConvert();
    EXPECT_EQ(module().DBVersionDetected, 2);
    EXPECT_EQ(logLines(), QStringList{"Conversion complete."});
    EXPECT_EQ(SettingsStore(scratch.settingsFile()).read("ROZAZIZERARARIZAZ", "DBVersion", ""), "2");
    module().DBVersionDetected = 1;
    module().DBConvert();
    EXPECT_EQ(module().DBVersionDetected, 2);
    module().DBVersionDetected = 7;
    module().DBConvert();
    EXPECT_EQ(module().DBVersionDetected, 7);
    EXPECT_EQ(module().ModuleName(), "ROZAZIZERARARIZAZ");
    EXPECT_EQ(module().VersionProgram(), 1);
    EXPECT_EQ(module().DBVersionProgram(), 2);
}

TEST_F(HostFixture, TheTemplateTableIsMadeAndFilledForReal)
{
    module().MakeTable("SomethingElse");
    EXPECT_TRUE(logLines().isEmpty());
    module().MakeDB();
    EXPECT_EQ(logLines(), QStringList{"Table created: DICOM..ROZAZIZERARARIZAZ_TableName"});
    if (ServerDatabase::enabled()) {
        EXPECT_EQ(scalar("select count(*) from information_schema.columns where table_name = 'rozazizerararizaz_tablename'"), "5");
        EXPECT_EQ(scalar("select data_type from information_schema.columns where table_name = 'rozazizerararizaz_tablename' "
                         "and column_name = 'field2'"),
                  "integer");
    } else {
        EXPECT_EQ(scalar("select count(*) from pragma_table_info('ROZAZIZERARARIZAZ_TableName')"), "5");
        EXPECT_EQ(scalar("select lower(type) from pragma_table_info('ROZAZIZERARARIZAZ_TableName') where name='Field2'"), "int");
    }
    module().MakeDB();
    EXPECT_TRUE(log.logText().contains("Table exists: DICOM..ROZAZIZERARARIZAZ_TableName"));
    module().MakeRecords("TableName");
    module().RemakeRecords();
    EXPECT_EQ(scalar("select count(*) from ROZAZIZERARARIZAZ_TableName where Name='x'"), "2");

    QString error;
    EXPECT_FALSE(host.program()->db().MakeTable("M", "T", ",Field1 varchar(9)", error));
    EXPECT_TRUE(error.contains("Field1 varchar(9)")) << error.toStdString();
    EXPECT_FALSE(host.program()->db().MakeTable("M'; drop table x", "T", "", error));
}

TEST_F(HostFixture, WindowSettingsAndOptionsAreKeptInTheSettingsStore)
{
    module().DefaultWindowSettings();
    module().DefaultOptions();
    SettingsStore reread(scratch.settingsFile());
    EXPECT_EQ(reread.read("Window Sizes", "TableName List", ""), "4");
    EXPECT_EQ(reread.read("ROZAZIZERARARIZAZOptions", "Option1", ""), "1");
    EXPECT_EQ(host.program()->db().windowSize("TableName List"), 4);
}

TEST_F(HostFixture, CloseAllWindowsUsesTheWindowSideWhenThereIsOne)
{
    int closed = 0;
    module().setWindowCloser([&] { ++closed; });
    module().CloseAllWindows();
    EXPECT_EQ(closed, 1);
    module().ShowMenu(); // nothing to see
}

TEST_F(HostFixture, InitVornCommandRunsTheDatabaseUtilitiesOnce)
{
    QString error;
    ASSERT_TRUE(host.cmdInitVorn(error)) << error.toStdString();
    EXPECT_EQ(host.creations(), 1);
    EXPECT_EQ(module().DBVersionDetected, 2);
    EXPECT_EQ(views().size(), 3);
    EXPECT_EQ(scalar("select count(*) from ROZAZIZERARARIZAZ_TableName"), "0");
    EXPECT_EQ(settings.read("Window Sizes", "TableName List", ""), "4");
    EXPECT_EQ(settings.read("ROZAZIZERARARIZAZOptions", "Option1", ""), "1");
    const QStringList first = logLines();
    EXPECT_TRUE(first.contains("Conversion complete."));
    EXPECT_EQ(first.count("View Created"), 3);

    // A second run finds everything in place: no conversion, no new views.
    connection.ExecuteSQL("delete from ListView where ViewName='HISPatients'");
    log.clearLog();
    ASSERT_TRUE(host.cmdInitVorn(error));
    EXPECT_FALSE(log.logText().contains("Conversion complete."));
    EXPECT_FALSE(log.logText().contains("View Created"));
    EXPECT_EQ(views().size(), 2);
    EXPECT_EQ(log.errorText(), ActivityLog::ErrorBoxDesignText);
}

TEST_F(HostFixture, ReferenceListsSetTheBrowseObjectInTheirOrder)
{
    QList<tools::BrowseSettings> opened;
    QObject::connect(&host, &HostFramework::browseRequested, [&](const tools::BrowseSettings &s) { opened << s; });
    QObject mainWindow;
    mainWindow.setObjectName("frmMain");
    tools::ReferenceLists lists(host);
    tools::HostProgram *program = host.program();
    QString error;

    ASSERT_TRUE(lists.cmdDoctors(&mainWindow, error));
    EXPECT_EQ(program->browse().assignments(),
              (QStringList{"PropTable=tbCoDoctor", "PropDatabaseName=Build_File", "PropOperation=FAED", "PropFindField1=LastName",
                           "PropFindLabel1=LastName", "PropParentWindow=frmMain", "propviewtoload=AddDoctor",
                           "PropFieldNameID=DoctorID", "PropFormUseOnlyBrowseFields=True", "PropFieldNameDesc=LastName",
                           "PropUseAuditStamps=False", "PropFieldNameID=DoctorID", "PropAutoFillField3=A"}));
    ASSERT_TRUE(lists.cmdPatients(&mainWindow, error));
    EXPECT_EQ(program->browse().assignments(),
              (QStringList{"PropTable=PatientTable", "PropDatabaseName=DICOM", "PropOperation=FAED", "PropFindField1=PatientID",
                           "PropFindLabel1=PatientID", "PropFindField2=Name_Last", "PropFindLabel2=LastName",
                           "PropParentWindow=frmMain", "propviewtoload=PACSPatientList", "PropFieldNameID=PatientID",
                           "PropFormUseOnlyBrowseFields=True", "PropFieldNameDesc=Name_Last", "PropUseAuditStamps=False",
                           "PropFieldNameID=PatientID", "PropFindBeforeListing=True"}));
    ASSERT_TRUE(lists.cmdHISPatients(&mainWindow, error));
    EXPECT_EQ(program->browse().assignments(),
              (QStringList{"PropTable=tbMaster", "PropDatabaseName=Patient_Data", "PropOperation=F", "PropFindField1=HospNum",
                           "PropFindLabel1=HospNum", "PropFindField2=LastName", "PropFindLabel2=LastName",
                           "PropParentWindow=frmMain", "propviewtoload=HISPatients", "PropFieldNameID=HospNum",
                           "PropFormUseOnlyBrowseFields=True", "PropFieldNameDesc=LastName", "PropUseAuditStamps=False",
                           "PropFieldNameID=HospNum", "PropFindBeforeListing=True"}));
    ASSERT_EQ(opened.size(), 3);
    const tools::BrowseSettings his = opened.at(2);
    EXPECT_EQ(his.qualifiedTable(), "Patient_Data..tbMaster");
    EXPECT_TRUE(his.staffAllowEdit);
    EXPECT_TRUE(his.staffAllowDelete);
    EXPECT_EQ(his.parentWindow, &mainWindow);
    EXPECT_EQ(host.creations(), 1);
}

TEST_F(HostFixture, RemoteAetsConfigureTheBrowseObjectForTheTable)
{
    QList<tools::BrowseSettings> opened;
    QObject::connect(&host, &HostFramework::browseRequested, [&](const tools::BrowseSettings &s) { opened << s; });
    QObject dialog;
    dialog.setObjectName("frmOptions");
    QString error;
    ASSERT_TRUE(tools::RemoteAets(host).cmdRemoteAET(&dialog, error));
    ASSERT_TRUE(tools::RemoteAets(host).cmdRemoteAET(&dialog, error)); // pressed twice: set up once
    EXPECT_EQ(host.creations(), 1);
    EXPECT_EQ(host.program()->browse().assignments(),
              (QStringList{"PropTable=REMOTEAETs", "PropDatabaseName=DICOM", "PropOperation=AED", "PropFindField1=",
                           "PropFindLabel1=", "PropParentWindow=frmOptions", "PropFieldNameID=RemoteAET",
                           "PropFieldNameDesc=IPAddress", "propviewtoload=REMOTEAETS", "PropUseAuditStamps=False"}));
    ASSERT_EQ(opened.size(), 2);
    const tools::BrowseSettings settings = opened.at(1);
    EXPECT_EQ(settings.qualifiedTable(), "DICOM..REMOTEAETs");
    EXPECT_TRUE(settings.staffAllowEdit && settings.staffAllowDelete);
    EXPECT_FALSE(settings.allows('F'));

    // The browse object's settings are properties of their own names too.
    tools::HostBrowse &browse = host.program()->browse();
    browse.Init();
    EXPECT_TRUE(browse.setProperty("PropTable", "tbMaster"));
    EXPECT_EQ(browse.PropTable(), "tbMaster");
    EXPECT_EQ(browse.assignments(), QStringList{"PropTable=tbMaster"});
}

TEST(RemoteAetRows, AreCheckedBeforeTheyAreWritten)
{
    const QStringList fields{"RemoteAET", "IPAddress", "Port"};
    EXPECT_EQ(tools::RemoteAets::checkRow(fields, {"DEST", "127.0.0.1", "104"}), "");
    EXPECT_EQ(tools::RemoteAets::checkRow(fields, {"WORKSTATION_0001", "ws1.example", "65535"}), "");
    EXPECT_NE(tools::RemoteAets::checkRow(fields, {"WORKSTATION_00012", "127.0.0.1", "104"}), "");
    EXPECT_NE(tools::RemoteAets::checkRow(fields, {"A\\B", "127.0.0.1", "104"}), "");
    EXPECT_NE(tools::RemoteAets::checkRow(fields, {"DEST", "", "104"}), "");
    EXPECT_NE(tools::RemoteAets::checkRow(fields, {"DEST", "127.0.0.1", "0"}), "");
    EXPECT_NE(tools::RemoteAets::checkRow(fields, {"DEST", "127.0.0.1", "65536"}), "");
    EXPECT_NE(tools::RemoteAets::checkRow(fields, {"DEST", "127.0.0.1", "1O4"}), "");
}

} // namespace
