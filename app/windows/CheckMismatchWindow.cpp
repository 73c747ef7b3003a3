#include "app/windows/CheckMismatchWindow.h"

#include "app/shell/ServerController.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QVBoxLayout>

namespace pacs {

CheckMismatchWindow::CheckMismatchWindow(ServerController &controller, QWidget *parent)
    : QWidget(parent, Qt::Window), m_check(controller.connection(), controller.log(), controller.options())
{
    setObjectName(QStringLiteral("frmCheckMismatch"));
    setWindowTitle(QStringLiteral("Check Mismatched names"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Check Mismatching names between DB and Image for folder:"), this));
    m_checkDir = new QLineEdit(controller.options().storageRoot(), this);
    m_checkDir->setObjectName(QStringLiteral("txtCheckDir"));
    layout->addWidget(m_checkDir);

    auto *buttons = new QHBoxLayout;
    m_read = new QPushButton(QStringLiteral("Read Names"), this);
    m_read->setObjectName(QStringLiteral("cmdRead"));
    m_stop = new QPushButton(QStringLiteral("Stop"), this);
    m_stop->setObjectName(QStringLiteral("cmdStopCheck"));
    m_transmitNotFound = new QCheckBox(QStringLiteral("Transmit not found"), this);
    m_transmitNotFound->setObjectName(QStringLiteral("chkTransmitNotFound"));
    buttons->addWidget(m_read);
    buttons->addWidget(m_stop);
    buttons->addWidget(m_transmitNotFound);
    buttons->addWidget(new QLabel(QStringLiteral("Send to Remote SCP Storage (under settings)"), this));
    buttons->addStretch();
    layout->addLayout(buttons);

    m_report = new QPlainTextEdit(this);
    m_report->setObjectName(QStringLiteral("txtCheck"));
    m_report->setReadOnly(true);
    layout->addWidget(m_report, 1);
    resize(640, 480);

    connect(m_read, &QPushButton::clicked, this, [this] {
        m_check.setTransmitNotFound(m_transmitNotFound->isChecked());
        m_check.ReadNames(m_checkDir->text());
    });
    connect(m_stop, &QPushButton::clicked, this, [this] { m_check.stop(); });
    connect(&m_check, &tools::NameConsistencyCheck::runningChanged, m_read, [this](bool running) {
        m_read->setEnabled(!running);
    });
    connect(&m_check, &tools::NameConsistencyCheck::reportAppended, m_report, [this](const QString &text) {
        m_report->moveCursor(QTextCursor::End);
        m_report->insertPlainText(QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
        m_report->moveCursor(QTextCursor::End);
    });
}

} // namespace pacs
