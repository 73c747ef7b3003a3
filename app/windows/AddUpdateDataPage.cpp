#include "app/windows/AddUpdateDataPage.h"

#include "app/windows/FieldEdits.h"
#include "browser/PatientStudyCorrections.h"
#include "browser/SeriesImageCorrections.h"
#include "browser/StudyInfoFields.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace pacs {

using browser::PatientStudyCorrections;
using browser::StudyInfoFields;

namespace {
struct Frame
{
    QGroupBox *box;
    QFormLayout *form;
};

Frame makeFrame(const QString &caption, const QString &name)
{
    auto *box = new QGroupBox(caption);
    box->setObjectName(name);
    auto *form = new QFormLayout(box);
    return {box, form};
}

QPushButton *button(const QString &caption, const QString &name)
{
    auto *b = new QPushButton(caption);
    b->setObjectName(name);
    return b;
}
} // namespace

AddUpdateDataPage::AddUpdateDataPage(PatientStudyCorrections &patients, browser::SeriesImageCorrections &series,
                                     QWidget *parent)
    : QWidget(parent), m_patients(patients), m_series(series), m_edits(new FormEdits(this))
{
    setObjectName(QStringLiteral("AddUpdateDataPage"));
    connect(&m_patients, &PatientStudyCorrections::formChanged, m_edits, &FormEdits::refresh);

    auto *grid = new QGridLayout;
    grid->addWidget(updatePatientFrame(), 0, 0);
    grid->addWidget(newPatientFrame(), 0, 1);
    grid->addWidget(changeIdFrame(), 0, 2);
    grid->addWidget(updateStudyFrame(), 1, 0);
    grid->addWidget(newStudyFrame(), 1, 1);
    grid->addWidget(newSeriesFrame(), 1, 2);

    m_referenceListRow = new QHBoxLayout;
    m_referenceListRow->addStretch(1);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(grid);
    layout->addLayout(m_referenceListRow);
    layout->addStretch(1);
}

QWidget *AddUpdateDataPage::updatePatientFrame()
{
    browser::PatientStudyForm &f = m_patients.form();
    Frame frame = makeFrame(QStringLiteral("Update Patient"), QStringLiteral("fraUpdatePatient"));
    QLineEdit *id = m_edits->add(QStringLiteral("txtUpdatePatientID"), f.updatePatientId);
    id->setToolTip(QStringLiteral("Press Enter to look the patient up"));
    connect(id, &QLineEdit::returnPressed, this,
            [this] { m_patients.updatePatientIdKeyPress(PatientStudyCorrections::EnterKey); });
    frame.form->addRow(QStringLiteral("Patient ID:"), id);
    frame.form->addRow(QStringLiteral("Last Name:"), m_edits->add(QStringLiteral("txtUpdateLastName"), f.updateLastName));
    frame.form->addRow(QStringLiteral("First Name:"), m_edits->add(QStringLiteral("txtUpdateFirstName"), f.updateFirstName));
    frame.form->addRow(QStringLiteral("Middle Name:"), m_edits->add(QStringLiteral("txtUpdateMiddleName"), f.updateMiddleName));
    frame.form->addRow(QStringLiteral("Birth Date:"), m_edits->add(QStringLiteral("txtUpdateBdate"), f.updateBirthDate));
    frame.form->addRow(QStringLiteral("Sex:"), m_edits->add(QStringLiteral("txtUpdateSex"), f.updateSex));
    QPushButton *update = button(QStringLiteral("Update Patient"), QStringLiteral("cmdUpdatePatient"));
    connect(update, &QPushButton::clicked, this, [this] { m_patients.cmdUpdatePatient(); });
    frame.form->addRow(update);
    return frame.box;
}

QWidget *AddUpdateDataPage::newPatientFrame()
{
    browser::PatientStudyForm &f = m_patients.form();
    Frame frame = makeFrame(QStringLiteral("New Patient"), QStringLiteral("fraNewPatient"));
    frame.form->addRow(QStringLiteral("Patient ID:"), m_edits->add(QStringLiteral("txtIDNEW"), f.newPatientId));
    frame.form->addRow(QStringLiteral("First Name:"), m_edits->add(QStringLiteral("txtFirst"), f.first));
    frame.form->addRow(QStringLiteral("Middle Name:"), m_edits->add(QStringLiteral("txtMiddle"), f.middle));
    frame.form->addRow(QStringLiteral("Last Name:"), m_edits->add(QStringLiteral("txtLast"), f.last));
    frame.form->addRow(QStringLiteral("Birth Date:"), m_edits->add(QStringLiteral("txtBDATE"), f.birthDate));
    frame.form->addRow(QStringLiteral("Sex:"), m_edits->add(QStringLiteral("txtSEX"), f.sex));
    QPushButton *create = button(QStringLiteral("New Patient"), QStringLiteral("cmdNewPat"));
    connect(create, &QPushButton::clicked, this, [this] { m_patients.cmdNewPat(); });
    frame.form->addRow(create);
    return frame.box;
}

QWidget *AddUpdateDataPage::changeIdFrame()
{
    browser::PatientStudyForm &f = m_patients.form();
    Frame frame = makeFrame(QStringLiteral("Change Patient ID of studies"), QStringLiteral("fraChangeID"));
    frame.form->addRow(QStringLiteral("Old ID:"), m_edits->add(QStringLiteral("txtChangeOLDID"), f.changeOldId));
    frame.form->addRow(QStringLiteral("New ID:"), m_edits->add(QStringLiteral("txtChangeNEWID"), f.changeNewId));
    QPushButton *change = button(QStringLiteral("Change"), QStringLiteral("cmdChangeID"));
    connect(change, &QPushButton::clicked, this, [this] { m_patients.cmdChangeID(); });
    frame.form->addRow(change);
    return frame.box;
}

QWidget *AddUpdateDataPage::updateStudyFrame()
{
    browser::PatientStudyForm &f = m_patients.form();
    Frame frame = makeFrame(QStringLiteral("Update Study"), QStringLiteral("fraUpdateStudy"));
    QLineEdit *uid = makeFieldEdit(m_patients.fields(), StudyInfoFields::UpdateStudyUid);
    uid->setToolTip(QStringLiteral("Press Enter to look the study up"));
    connect(uid, &QLineEdit::returnPressed, this,
            [this] { m_patients.updateStudyUidKeyPress(PatientStudyCorrections::EnterKey); });
    frame.form->addRow(QStringLiteral("Study UID:"), uid);
    frame.form->addRow(QStringLiteral("Patient ID:"), m_edits->add(QStringLiteral("txtUpdateStudyPatientID"), f.updateStudyPatientId));
    frame.form->addRow(QStringLiteral("Study Date:"), m_edits->add(QStringLiteral("txtUpdateStudyDate"), f.updateStudyDate));
    frame.form->addRow(QStringLiteral("Study Time:"), m_edits->add(QStringLiteral("txtUpdateStudyTime"), f.updateStudyTime));
    frame.form->addRow(QStringLiteral("Accession #:"),
                       m_edits->add(QStringLiteral("txtUpdateStudyAccessionNumber"), f.updateStudyAccessionNumber));
    frame.form->addRow(QStringLiteral("Description:"), m_edits->add(QStringLiteral("txtUpdateStudyDesc"), f.updateStudyDesc));
    QPushButton *update = button(QStringLiteral("Update Study"), QStringLiteral("cmdUpdateStudy2"));
    connect(update, &QPushButton::clicked, this, [this] { m_patients.cmdUpdateStudy2(); });
    frame.form->addRow(update);
    return frame.box;
}

QWidget *AddUpdateDataPage::newStudyFrame()
{
    browser::PatientStudyForm &f = m_patients.form();
    Frame frame = makeFrame(QStringLiteral("New STUDY"), QStringLiteral("fraNewStudy"));
    QPushButton *generate = button(QStringLiteral("Generate New StudyUID"), QStringLiteral("cmdGenerateStudyUID"));
    connect(generate, &QPushButton::clicked, this, [this] { m_patients.cmdGenerateStudyUID(); });
    frame.form->addRow(generate);
    frame.form->addRow(QStringLiteral("Study UID:"), m_edits->add(QStringLiteral("txtNewStudyUID"), f.newStudyUid));
    frame.form->addRow(QStringLiteral("Patient ID:"), m_edits->add(QStringLiteral("txtNewStudyPatientID"), f.newStudyPatientId));
    frame.form->addRow(QStringLiteral("Study Date:"), m_edits->add(QStringLiteral("txtNewStudyDate"), f.newStudyDate));
    frame.form->addRow(QStringLiteral("Study Time:"), m_edits->add(QStringLiteral("txtNewStudyTime"), f.newStudyTime));
    frame.form->addRow(QStringLiteral("Accession #:"),
                       m_edits->add(QStringLiteral("txtNewStudyAccessionNum"), f.newStudyAccessionNum));
    QPushButton *create = button(QStringLiteral("Create"), QStringLiteral("cmdCreateStudyUID"));
    connect(create, &QPushButton::clicked, this, [this] { m_patients.cmdCreateStudyUID(); });
    frame.form->addRow(create);
    return frame.box;
}

QWidget *AddUpdateDataPage::newSeriesFrame()
{
    browser::NewSeriesFields &f = m_series.newSeries();
    Frame frame = makeFrame(QStringLiteral("New Series"), QStringLiteral("fraNewSeries"));
    frame.form->addRow(QStringLiteral("Series UID:"), m_edits->add(QStringLiteral("txtNewSeriesUID"), f.seriesUid));
    frame.form->addRow(QStringLiteral("Study UID:"), m_edits->add(QStringLiteral("txtNewSeriesStudyUID"), f.studyUid));
    frame.form->addRow(QStringLiteral("Modality:"), m_edits->add(QStringLiteral("txtNewSeriesModality"), f.modality));
    frame.form->addRow(QStringLiteral("Series #:"), m_edits->add(QStringLiteral("txtNewSeriesSeriesNo"), f.seriesNumber));
    frame.form->addRow(QStringLiteral("Description:"),
                       m_edits->add(QStringLiteral("txtNewSeriesSeriesDesc"), f.seriesDescription));
    QPushButton *create = button(QStringLiteral("Create"), QStringLiteral("cmdCreateSeries"));
    connect(create, &QPushButton::clicked, this, [this] { m_series.cmdCreateSeries(); });
    frame.form->addRow(create);
    return frame.box;
}

} // namespace pacs
