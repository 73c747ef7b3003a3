#pragma once

#include <QWidget>

class QHBoxLayout;

namespace pacs {
namespace browser {
class PatientStudyCorrections;
class SeriesImageCorrections;
}
class FormEdits;

// The "Add/Update Data" tab: patient and study corrections, new patient,
// study and series rows. A thin view over the correction commands; their
// messages reach the operator through the main window.
class AddUpdateDataPage : public QWidget
{
    Q_OBJECT
public:
    AddUpdateDataPage(browser::PatientStudyCorrections &patients, browser::SeriesImageCorrections &series,
                      QWidget *parent = nullptr);

    // Where the buttons of the reference lists sit.
    QHBoxLayout *referenceListRow() const { return m_referenceListRow; }

private:
    QWidget *updatePatientFrame();
    QWidget *newPatientFrame();
    QWidget *changeIdFrame();
    QWidget *updateStudyFrame();
    QWidget *newStudyFrame();
    QWidget *newSeriesFrame();

    browser::PatientStudyCorrections &m_patients;
    browser::SeriesImageCorrections &m_series;
    FormEdits *m_edits = nullptr;
    QHBoxLayout *m_referenceListRow = nullptr;
};

} // namespace pacs
