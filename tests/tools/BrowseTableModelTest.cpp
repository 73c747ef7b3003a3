// The list-and-edit model of the framework's list windows on a real archive
// file and its attached HIS databases.
#include "core/SettingsStore.h"
#include "tests/db/ArchiveFixture.h"
#include "tools/BrowseTableModel.h"
#include "tools/HostFramework.h"
#include "tools/HostProgram.h"
#include "tools/ReferenceLists.h"
#include "tools/RemoteAets.h"

using namespace pacs;
using namespace pacs::test;
using pacs::tools::BrowseTableModel;

namespace {

class ModelFixture : public ArchiveFixture
{
protected:
    void SetUp() override
    {
        ArchiveFixture::SetUp();
        QObject::connect(&host, &tools::HostFramework::browseRequested,
                         [this](const tools::BrowseSettings &s) { requested = s; });
        QString error;
        ASSERT_TRUE(host.InitVorn(error));
        host.module().DefaultListViews("");
    }

    std::unique_ptr<BrowseTableModel> openRemoteAets()
    {
        QString error;
        EXPECT_TRUE(tools::RemoteAets(host).cmdRemoteAET(nullptr, error));
        auto model = host.createModel(requested);
        EXPECT_TRUE(model->load(error)) << error.toStdString();
        return model;
    }
    std::unique_ptr<BrowseTableModel> openList(tools::ReferenceLists::List list)
    {
        QString error;
        EXPECT_TRUE(tools::ReferenceLists(host).open(list, nullptr, error));
        auto model = host.createModel(requested);
        EXPECT_TRUE(model->load(error)) << error.toStdString();
        return model;
    }
    QStringList remoteAets()
    {
        QStringList rows;
        db::ResultSet r = connection.ExecuteSQL("select RemoteAET, IPAddress, Port from RemoteAETs order by RemoteAET");
        for (; !r.atEnd(); r.moveNext())
            rows << r.text(0) + "|" + r.text(1) + "|" + r.text(2);
        return rows;
    }

    SettingsStore settings{scratch.settingsFile()};
    tools::HostFramework host{connection, log, settings};
    tools::BrowseSettings requested;
};

TEST_F(ModelFixture, RemoteAetsAreAddedEditedAndDeletedInTheArchive)
{
    auto model = openRemoteAets();
    EXPECT_TRUE(model->hasListView());
    EXPECT_EQ(model->columns(), (QStringList{"RemoteAET", "IPAddress", "Port"}));
    EXPECT_EQ(model->columnWidths(), (QList<int>{133, 100, 100})); // twips to pixels
    EXPECT_EQ(model->formFields(), (QStringList{"RemoteAET", "IPAddress", "Port"}));
    EXPECT_FALSE(model->canFind());
    EXPECT_TRUE(model->canAdd() && model->canEdit() && model->canDelete());
    EXPECT_EQ(model->rowCount(), 0);
    EXPECT_EQ(model->statusText(), "0 rows");

    EXPECT_EQ(model->addRow({"VIEWER", "10.0.0.5", "104"}), "");
    EXPECT_EQ(model->addRow({" O'HARA ", "ws.example", "11112"}), "");
    EXPECT_EQ(remoteAets(), (QStringList{"O'HARA|ws.example|11112", "VIEWER|10.0.0.5|104"}));
    ASSERT_EQ(model->rowCount(), 2);
    // Sorted by the description column (IPAddress).
    EXPECT_EQ(model->key(0), "VIEWER");
    EXPECT_EQ(model->data(model->index(1, 2)).toString(), "11112");
    EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), "RemoteAET");
    EXPECT_EQ(model->description(0), "VIEWER (10.0.0.5)");

    // Refused before anything is written.
    EXPECT_EQ(model->addRow({"viewer", "10.0.0.6", "104"}), "RemoteAET viewer exists already.");
    EXPECT_EQ(model->addRow({"", "10.0.0.6", "104"}), "RemoteAET is needed.");
    EXPECT_TRUE(model->addRow({"NEW", "10.0.0.6", "port"}).startsWith("A port is a number"));
    EXPECT_EQ(model->addRow({"NEW", "10.0.0.6"}), "2 values for 3 fields.");
    EXPECT_EQ(remoteAets().size(), 2);

    QStringList values;
    QString error;
    ASSERT_TRUE(model->rowValues(model->rowOfKey("O'HARA"), values, error)) << error.toStdString();
    EXPECT_EQ(values, (QStringList{"O'HARA", "ws.example", "11112"}));
    EXPECT_EQ(model->editRow(model->rowOfKey("O'HARA"), {"O'HARA", "ws2.example", "4242"}), "");
    EXPECT_EQ(model->editRow(model->rowOfKey("O'HARA"), {"VIEWER", "ws2.example", "4242"}), "RemoteAET VIEWER exists already.");
    EXPECT_EQ(model->editRow(model->rowOfKey("VIEWER"), {"VIEWER2", "10.0.0.5", "104"}), ""); // the key itself changes
    EXPECT_EQ(remoteAets(), (QStringList{"O'HARA|ws2.example|4242", "VIEWER2|10.0.0.5|104"}));

    // A row deleted by someone else meanwhile is not edited into being.
    const int gone = model->rowOfKey("VIEWER2");
    connection.ExecuteSQL("delete from RemoteAETs where RemoteAET='VIEWER2'");
    EXPECT_EQ(model->editRow(gone, {"VIEWER2", "10.0.0.9", "104"}), "RemoteAET VIEWER2 is no longer there.");
    EXPECT_EQ(remoteAets(), QStringList{"O'HARA|ws2.example|4242"});

    ASSERT_TRUE(model->refresh(error));
    EXPECT_EQ(model->deleteRow(model->rowOfKey("O'HARA")), "");
    EXPECT_TRUE(remoteAets().isEmpty());
    EXPECT_EQ(model->rowCount(), 0);
    EXPECT_EQ(model->deleteRow(0), "No row chosen.");
}

TEST_F(ModelFixture, DoctorsLiveInTheirOwnDatabaseAndNewRowsGetTheThirdFieldFilled)
{
    auto model = openList(tools::ReferenceLists::List::Doctors);
    // No "AddDoctor" view: the table's own columns.
    EXPECT_FALSE(model->hasListView());
    EXPECT_EQ(model->columns(), (QStringList{"DoctorID", "LastName", "FirstName", "MiddleName", "Specialty", "email"}));
    EXPECT_TRUE(model->canFind() && model->canAdd() && model->canEdit() && model->canDelete());
    EXPECT_EQ(model->rowCount(), 2); // listed at once: no find needed first
    EXPECT_EQ(model->newRowValues(), (QStringList{"", "", "A", "", "", ""}));

    EXPECT_EQ(model->addRow({"D003", "O'BRIEN", "A", "", "Radiology", "ob@example.org"}), "");
    EXPECT_EQ(scalar("select LastName from Build_File..tbcodoctor where DoctorID='D003'"), "O'BRIEN");
    EXPECT_EQ(scalar("select count(*) from Build_File..tbcodoctor where DoctorID='D003' and MiddleName is null"), "1");
    QString error;
    ASSERT_TRUE(model->find("o'b", "", error)) << error.toStdString();
    ASSERT_EQ(model->rowCount(), 1);
    EXPECT_EQ(model->cell(0, 4), "Radiology");
    ASSERT_TRUE(model->find("", "", error));
    EXPECT_EQ(model->rowCount(), 3);
}

TEST_F(ModelFixture, PatientListsWaitForAFindAndTheHisListIsReadOnly)
{
    auto pacs = openList(tools::ReferenceLists::List::PacsPatients);
    EXPECT_TRUE(pacs->hasListView());
    EXPECT_EQ(pacs->columns(),
              (QStringList{"PatientID", "Name_First", "Name_Middle", "Name_Last", "Name_Title", "DateOfBirth", "Sex"}));
    EXPECT_FALSE(pacs->listed());
    EXPECT_EQ(pacs->statusText(), "Find first.");
    EXPECT_EQ(pacs->addRow({"P9", "ANN", "", "SMITH", "", "3/4/1950", "F"}), "");
    EXPECT_EQ(scalar("select DateOfBirth from PatientTable where PatientID='P9'"), "3/4/1950");
    connection.ExecuteSQL("insert into PatientTable (PatientID, Name_Last) values ('P10', 'SMYTHE')");
    QString error;
    ASSERT_TRUE(pacs->find("", "SM", error));
    EXPECT_EQ(pacs->rowCount(), 2);
    ASSERT_TRUE(pacs->find("P1", "SM", error));
    ASSERT_EQ(pacs->rowCount(), 1);
    EXPECT_EQ(pacs->key(0), "P10");

    auto his = openList(tools::ReferenceLists::List::HisPatients);
    EXPECT_EQ(his->columns(), (QStringList{"HospNum", "LastName", "FirstName", "MiddleName", "Sex", "BirthDate"}));
    EXPECT_EQ(his->columnWidths().size(), 6);
    EXPECT_TRUE(his->canFind());
    EXPECT_FALSE(his->canAdd() || his->canEdit() || his->canDelete());
    ASSERT_TRUE(his->find("", "o'n", error));
    ASSERT_EQ(his->rowCount(), 1);
    EXPECT_EQ(his->key(0), "P003");
    EXPECT_EQ(his->addRow({"P004", "X", "Y", "", "M", ""}), "Rows cannot be added to this list.");
    EXPECT_EQ(his->deleteRow(0), "Rows of this list cannot be deleted.");
    EXPECT_EQ(scalar("select count(*) from Patient_Data..tbMaster"), "3");
}

TEST_F(ModelFixture, AListNeedsItsKeyAndARealTable)
{
    tools::BrowseSettings settings;
    settings.table = "tbMaster";
    settings.databaseName = "Patient_Data";
    settings.operation = "AED";
    settings.fieldNameId = "NoSuchColumn";
    QString error;
    EXPECT_FALSE(host.createModel(settings)->load(error));
    EXPECT_TRUE(error.contains("NoSuchColumn")) << error.toStdString();
    settings.table = "tbMaster; drop table x";
    EXPECT_FALSE(host.createModel(settings)->load(error));
    EXPECT_TRUE(error.startsWith("Not a table name")) << error.toStdString();

    // Without the staff's rights the letters alone allow nothing.
    settings.table = "tbMaster";
    settings.fieldNameId = "HospNum";
    auto model = host.createModel(settings);
    ASSERT_TRUE(model->load(error)) << error.toStdString();
    EXPECT_FALSE(model->canAdd() || model->canEdit() || model->canDelete());
    EXPECT_EQ(model->rowCount(), 3);
}

} // namespace
