#include "app/windows/FolderTransmitWindow.h"

#include "app/shell/ServerController.h"
#include "core/Prompter.h"

#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QVBoxLayout>

namespace pacs {

FolderTransmitWindow::FolderTransmitWindow(ServerController &controller, QWidget *parent)
    : QWidget(parent, Qt::Window), m_controller(controller), m_transmit(controller.options())
{
    setObjectName(QStringLiteral("frmFolderTransmit"));
    setWindowTitle(QStringLiteral("Folder Transmit"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Send images in folder below to Remote SCP Storage (under settings)"), this));
    // The system's scratch folder, where files to be imported are usually
    // dropped, stands where a Windows station had its c:\temp.
    m_dir = new QLineEdit(QDir::tempPath(), this);
    m_dir->setObjectName(QStringLiteral("txtDir"));
    layout->addWidget(m_dir);

    auto *row = new QHBoxLayout;
    row->addWidget(new QLabel(QStringLiteral("Extension:"), this));
    m_ext = new QLineEdit(QStringLiteral("DCM"), this);
    m_ext->setObjectName(QStringLiteral("txtExt"));
    m_ext->setMaximumWidth(80);
    row->addWidget(m_ext);
    row->addWidget(new QLabel(QStringLiteral("(verify  *.DCM files are in folder)"), this));
    row->addStretch();
    m_import = new QPushButton(QStringLiteral("Transmit"), this);
    m_import->setObjectName(QStringLiteral("cmdImport"));
    row->addWidget(m_import);
    layout->addLayout(row);

    m_progress = new QPlainTextEdit(this);
    m_progress->setObjectName(QStringLiteral("txtTrans"));
    m_progress->setReadOnly(true);
    layout->addWidget(m_progress, 1);
    resize(560, 420);

    connect(m_import, &QPushButton::clicked, this, [this] {
        if (m_transmit.Transmit(m_dir->text(), m_ext->text()))
            return;
        if (Prompter *prompter = m_controller.prompter())
            prompter->inform(m_transmit.errorMessage());
        else
            QMessageBox::information(this, QString(), m_transmit.errorMessage(), QMessageBox::Ok);
    });
    connect(&m_transmit, &tools::FolderTransmit::runningChanged, m_import, [this](bool running) {
        m_import->setEnabled(!running);
    });
    connect(&m_transmit, &tools::FolderTransmit::progressAppended, m_progress, [this](const QString &text) {
        m_progress->moveCursor(QTextCursor::End);
        m_progress->insertPlainText(QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
        m_progress->moveCursor(QTextCursor::End);
    });
}

} // namespace pacs
