#include "app/windows/BrowseWindow.h"

#include "app/windows/BrowseRowDialog.h"
#include "core/Prompter.h"
#include "tools/BrowseTableModel.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

namespace pacs {

namespace {
const QSize kSizes[] = {{480, 360}, {640, 480}, {800, 600}, {1024, 768}};
}

BrowseWindow::BrowseWindow(std::unique_ptr<tools::BrowseTableModel> model, Prompter *prompter, int sizeStep, QWidget *parent)
    : QWidget(parent, Qt::Window), m_model(std::move(model)), m_prompter(prompter)
{
    const tools::BrowseSettings &s = m_model->settings();
    setObjectName(QStringLiteral("frmBrowse"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(s.table + QStringLiteral(" List"));
    auto *layout = new QVBoxLayout(this);

    if (m_model->canFind()) {
        auto *find = new QHBoxLayout;
        auto addBox = [&](const QString &label, const char *name) {
            find->addWidget(new QLabel(label, this));
            auto *box = new QLineEdit(this);
            box->setObjectName(QLatin1String(name));
            find->addWidget(box, 1);
            connect(box, &QLineEdit::returnPressed, this, &BrowseWindow::findRows);
            return box;
        };
        m_find1 = addBox(s.findLabel1.isEmpty() ? s.findField1 : s.findLabel1, "txtFind1");
        if (!s.findField2.isEmpty())
            m_find2 = addBox(s.findLabel2.isEmpty() ? s.findField2 : s.findLabel2, "txtFind2");
        auto *findButton = new QPushButton(QStringLiteral("&Find"), this);
        findButton->setObjectName(QStringLiteral("cmdFind"));
        connect(findButton, &QPushButton::clicked, this, &BrowseWindow::findRows);
        find->addWidget(findButton);
        layout->addLayout(find);
    }

    m_view = new QTableView(this);
    m_view->setObjectName(QStringLiteral("grdList"));
    m_view->setModel(m_model.get());
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->verticalHeader()->setVisible(false);
    m_view->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(m_view, 1);
    connect(m_model.get(), &QAbstractItemModel::modelReset, this, &BrowseWindow::applyColumnWidths);
    if (m_model->canEdit())
        connect(m_view, &QTableView::doubleClicked, this, &BrowseWindow::editRow);

    auto *buttons = new QHBoxLayout;
    auto addButton = [&](const QString &caption, const char *name, bool allowed, void (BrowseWindow::*command)()) {
        auto *button = new QPushButton(caption, this);
        button->setObjectName(QLatin1String(name));
        button->setVisible(allowed);
        connect(button, &QPushButton::clicked, this, command);
        buttons->addWidget(button);
    };
    addButton(QStringLiteral("&Add"), "cmdAdd", m_model->canAdd(), &BrowseWindow::addRow);
    addButton(QStringLiteral("&Edit"), "cmdEdit", m_model->canEdit(), &BrowseWindow::editRow);
    addButton(QStringLiteral("&Delete"), "cmdDelete", m_model->canDelete(), &BrowseWindow::deleteRow);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("lblStatus"));
    buttons->addWidget(m_status, 1);
    auto *close = new QPushButton(QStringLiteral("&Close"), this);
    close->setObjectName(QStringLiteral("cmdClose"));
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    buttons->addWidget(close);
    layout->addLayout(buttons);

    resize(kSizes[(sizeStep >= 1 && sizeStep <= 4 ? sizeStep : 3) - 1]);
}

BrowseWindow::~BrowseWindow()
{
    m_view->setModel(nullptr); // the model goes with the window, after the view lets go of it
}

bool BrowseWindow::load()
{
    QString error;
    const bool loaded = m_model->load(error);
    applyColumnWidths();
    showStatus(error);
    return loaded;
}

// The header forgets its section sizes whenever the list is read again.
void BrowseWindow::applyColumnWidths()
{
    const QList<int> &widths = m_model->columnWidths();
    for (int c = 0; c < widths.size(); ++c)
        if (widths[c] > 0)
            m_view->setColumnWidth(c, widths[c]);
}

void BrowseWindow::showStatus(const QString &error)
{
    m_status->setText(error.isEmpty() ? m_model->statusText() : error);
}

int BrowseWindow::currentRow() const
{
    const QModelIndexList rows = m_view->selectionModel() ? m_view->selectionModel()->selectedRows() : QModelIndexList();
    return rows.isEmpty() ? (m_view->currentIndex().isValid() ? m_view->currentIndex().row() : -1) : rows.first().row();
}

void BrowseWindow::findRows()
{
    QString error;
    m_model->find(m_find1 ? m_find1->text() : QString(), m_find2 ? m_find2->text() : QString(), error);
    showStatus(error);
}

void BrowseWindow::addRow()
{
    auto *form = new BrowseRowDialog(QStringLiteral("Add"), m_model->formFields(), m_model->newRowValues(),
                                     [this](const QStringList &values) {
                                         const QString wrong = m_model->addRow(values);
                                         showStatus();
                                         return wrong;
                                     },
                                     this);
    form->open();
}

void BrowseWindow::editRow()
{
    const int row = currentRow();
    QStringList values;
    QString error;
    if (row < 0 || !m_model->rowValues(row, values, error)) {
        showStatus(row < 0 ? QStringLiteral("Choose a row first.") : error);
        return;
    }
    auto *form = new BrowseRowDialog(QStringLiteral("Edit ") + m_model->description(row), m_model->formFields(), values,
                                     [this, key = m_model->key(row)](const QStringList &changed) {
                                         // Found again by its key: the list may have been read again meanwhile.
                                         const QString wrong = m_model->editRow(m_model->rowOfKey(key), changed);
                                         showStatus();
                                         return wrong;
                                     },
                                     this);
    form->open();
}

void BrowseWindow::deleteRow()
{
    const int row = currentRow();
    if (row < 0) {
        showStatus(QStringLiteral("Choose a row first."));
        return;
    }
    const QString question = QStringLiteral("Delete ") + m_model->description(row) + QStringLiteral("?");
    const bool yes = m_prompter ? m_prompter->askYesNo(question)
                                : QMessageBox::question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No)
                                      == QMessageBox::Yes;
    if (!yes)
        return;
    const QString wrong = m_model->deleteRow(row);
    showStatus(wrong);
}

} // namespace pacs
