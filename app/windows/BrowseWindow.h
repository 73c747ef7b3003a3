#pragma once

#include <QWidget>
#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

namespace pacs {

class Prompter;
namespace tools {
class BrowseTableModel;
}

// A list window of the host framework: the rows of one table with the
// find boxes the browse settings name and Add, Edit and Delete where they
// are allowed. The logic is the model's.
class BrowseWindow : public QWidget
{
    Q_OBJECT
public:
    // sizeStep: the window size the framework keeps for it (1 small to 4 large; 0 the default).
    BrowseWindow(std::unique_ptr<tools::BrowseTableModel> model, Prompter *prompter, int sizeStep, QWidget *parent = nullptr);
    ~BrowseWindow() override;

    tools::BrowseTableModel &model() { return *m_model; }
    QTableView *view() const { return m_view; }
    // Reads the list; a failure is shown in the status line.
    bool load();
    // The commands of the buttons; the form opens without blocking.
    void findRows();
    void addRow();
    void editRow();
    void deleteRow();

private:
    int currentRow() const;
    void applyColumnWidths();
    void showStatus(const QString &error = QString());

    std::unique_ptr<tools::BrowseTableModel> m_model;
    Prompter *m_prompter;
    QTableView *m_view = nullptr;
    QLineEdit *m_find1 = nullptr;
    QLineEdit *m_find2 = nullptr;
    QLabel *m_status = nullptr;
};

} // namespace pacs
