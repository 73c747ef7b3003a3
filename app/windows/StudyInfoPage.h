#pragma once

#include "browser/StudyInfoFields.h"

#include <QWidget>
#include <array>

class QGridLayout;
class QGroupBox;
class QHBoxLayout;
class QVBoxLayout;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableView;

namespace pacs {
namespace browser {
class ArchiveDeletion;
class GridModel;
class PatientStudyCorrections;
class SeriesImageCorrections;
class StudyInfo;
}
class FormEdits;
class DicomViewerWidget;

// The "Study Info" tab: the series and images of a study, the chosen image
// in DicomViewer1 and its attributes in AttributeList. A thin view over
// browser::StudyInfo; the identifier boxes mirror its StudyInfoFields.
class StudyInfoPage : public QWidget
{
    Q_OBJECT
public:
    explicit StudyInfoPage(browser::StudyInfo &logic, QWidget *parent = nullptr);

    // The row of commands under the viewer, for the commands that act on the chosen image.
    QHBoxLayout *commandRow() const { return m_commandRow; }
    // The correction and deletion commands beside their boxes, and the
    // header edit frame; the window adds them once the archive is open.
    void addMaintenanceCommands(browser::SeriesImageCorrections &series, browser::PatientStudyCorrections &patients,
                                browser::ArchiveDeletion &deletion);
    DicomViewerWidget *viewer() const { return m_viewer; }
    QLineEdit *field(browser::StudyInfoFields::Field field) const { return m_fieldEdits[field]; }

private:
    QTableView *makeGrid(const QString &name, browser::GridModel &grid, void (StudyInfoPage::*clicked)());
    void seriesClicked();
    void imagesClicked();
    void openContainingFolder();

    browser::StudyInfo &m_logic;
    std::array<QLineEdit *, browser::StudyInfoFields::FieldCount> m_fieldEdits{};
    QTableView *m_seriesView = nullptr;
    QTableView *m_imageView = nullptr;
    DicomViewerWidget *m_viewer = nullptr;
    QPlainTextEdit *m_attributes = nullptr;
    QHBoxLayout *m_commandRow = nullptr;
    QGridLayout *m_identifiers = nullptr;
    std::array<int, browser::StudyInfoFields::FieldCount> m_identifierRows{};
    QVBoxLayout *m_leftLayout = nullptr;
    QGroupBox *m_imageDetails = nullptr; // fraImgDetails
    bool m_syncingRow = false; // a grid's row and its view's current row follow each other
};

} // namespace pacs
