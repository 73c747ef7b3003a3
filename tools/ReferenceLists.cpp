#include "tools/ReferenceLists.h"

#include "tools/HostBrowse.h"
#include "tools/HostFramework.h"
#include "tools/HostMain.h"
#include "tools/HostProgram.h"

namespace pacs::tools {

namespace {
struct ListSettings
{
    const char *table, *database, *operation, *findField1, *findLabel1;
    const char *findField2, *findLabel2; // null: not set
    const char *view, *fieldNameId, *fieldNameDesc;
    const char *autoFillField3; // null: not set
    bool findBeforeListing;     // set (true) for the patient lists only
};

const ListSettings kDoctors{"tbCoDoctor", "Build_File", "FAED", "LastName", "LastName", nullptr, nullptr,
                            "AddDoctor",  "DoctorID",   "LastName", "A", false};
const ListSettings kPacsPatients{"PatientTable", "DICOM", "FAED", "PatientID", "PatientID", "Name_Last", "LastName",
                                 "PACSPatientList", "PatientID", "Name_Last", nullptr, true};
const ListSettings kHisPatients{"tbMaster", "Patient_Data", "F", "HospNum", "HospNum", "LastName", "LastName",
                                "HISPatients", "HospNum", "LastName", nullptr, true};
} // namespace

bool ReferenceLists::open(List list, QObject *parentWindow, QString &error)
{
    const ListSettings &s = list == List::Doctors ? kDoctors : list == List::PacsPatients ? kPacsPatients : kHisPatients;
    if (!m_host.InitVorn(error))
        return false;
    HostBrowse &browse = m_host.program()->browse();
    m_host.main()->Program()->setStaffAllowEdit(true);
    browse.Program()->setStaffAllowDelete(true);
    browse.Init();
    browse.setPropTable(QLatin1String(s.table));
    browse.setPropDatabaseName(QLatin1String(s.database));
    browse.setPropOperation(QLatin1String(s.operation));
    browse.setPropFindField1(QLatin1String(s.findField1));
    browse.setPropFindLabel1(QLatin1String(s.findLabel1));
    if (s.findField2) {
        browse.setPropFindField2(QLatin1String(s.findField2));
        browse.setPropFindLabel2(QLatin1String(s.findLabel2));
    }
    browse.setPropParentWindow(parentWindow);
    browse.setpropviewtoload(QLatin1String(s.view));
    browse.setPropFieldNameID(QLatin1String(s.fieldNameId));
    browse.setPropFormUseOnlyBrowseFields(true);
    browse.setPropFieldNameDesc(QLatin1String(s.fieldNameDesc));
    browse.setPropUseAuditStamps(false);
    browse.setPropFieldNameID(QLatin1String(s.fieldNameId));
    if (s.autoFillField3)
        browse.setPropAutoFillField3(QLatin1String(s.autoFillField3));
    else
        browse.setPropFindBeforeListing(s.findBeforeListing);
    m_host.program()->newbrowse();
    return true;
}

} // namespace pacs::tools
