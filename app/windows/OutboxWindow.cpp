#include "app/windows/OutboxWindow.h"

#include "transfer/Outbox.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace pacs {

namespace {
constexpr int kTwipsPerPixel = 15;

QTableWidget *grid(QWidget *parent, const QList<int> &twips)
{
    auto *table = new QTableWidget(0, int(twips.size()), parent);
    table->horizontalHeader()->setVisible(false);
    table->verticalHeader()->setVisible(false);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    for (int c = 0; c < twips.size(); ++c)
        table->setColumnWidth(c, twips[c] / kTwipsPerPixel);
    return table;
}

QString colour(Outbox::Indicator indicator)
{
    switch (indicator) {
    case Outbox::Indicator::Ready: return QStringLiteral("#00C000");
    case Outbox::Indicator::NotReady: return QStringLiteral("#FFFF80");
    case Outbox::Indicator::ConnectionOk: return QStringLiteral("#00FF00");
    case Outbox::Indicator::ConnectionFail: return QStringLiteral("#FF0000");
    default: return QStringLiteral("transparent");
    }
}
} // namespace

OutboxWindow::OutboxWindow(Outbox &outbox, QWidget *parent) : QWidget(parent, Qt::Window), m_outbox(outbox)
{
    setWindowTitle(QStringLiteral("Outbox"));
    auto *layout = new QVBoxLayout(this);
    auto *top = new QHBoxLayout;
    m_outgoing = grid(this, {2000, 7000});
    m_outgoing->setObjectName(QStringLiteral("grdOutGoing"));
    m_outgoing->setToolTip(QStringLiteral("double-click to Cancel"));
    m_images = grid(this, {4000});
    m_images->setObjectName(QStringLiteral("grdImages"));
    top->addWidget(m_outgoing, 3);
    top->addWidget(m_images, 2);
    layout->addLayout(top, 2);

    auto *state = new QGridLayout;
    m_level = new QLabel(this);
    m_uid = new QLabel(this);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("lblStatus"));
    m_destination = new QLabel(this);
    m_connection = new QLabel(this);
    m_waitCount = new QLabel(this);
    m_ready = new QLabel(this);
    m_ready->setFixedSize(18, 18);
    m_connectionShape = new QLabel(this);
    m_connectionShape->setFixedSize(18, 18);
    state->addWidget(new QLabel(QStringLiteral("Level:"), this), 0, 0);
    state->addWidget(m_level, 0, 1);
    state->addWidget(new QLabel(QStringLiteral("UID:"), this), 0, 2);
    state->addWidget(m_uid, 0, 3);
    state->addWidget(new QLabel(QStringLiteral("Status:"), this), 1, 0);
    state->addWidget(m_status, 1, 1);
    state->addWidget(m_destination, 1, 2);
    state->addWidget(m_waitCount, 1, 3);
    state->addWidget(new QLabel(QStringLiteral("isReady:"), this), 2, 0);
    state->addWidget(m_ready, 2, 1);
    state->addWidget(m_connectionShape, 2, 2);
    state->addWidget(m_connection, 2, 3);
    layout->addLayout(state);

    auto *buttons = new QHBoxLayout;
    auto *skip = new QPushButton(QStringLiteral("Skip current"), this);
    skip->setObjectName(QStringLiteral("cmdSkip"));
    auto *reset = new QPushButton(QStringLiteral("Abort / Reset "), this);
    reset->setObjectName(QStringLiteral("cmdReset"));
    buttons->addWidget(skip);
    buttons->addWidget(reset);
    buttons->addStretch();
    layout->addLayout(buttons);

    auto *logs = new QHBoxLayout;
    m_log = new QPlainTextEdit(this);
    m_log->setReadOnly(true);
    m_log->setObjectName(QStringLiteral("txtLog"));
    m_completed = new QPlainTextEdit(this);
    m_completed->setReadOnly(true);
    m_completed->setObjectName(QStringLiteral("txtCompleted"));
    logs->addWidget(m_log, 3);
    logs->addWidget(m_completed, 2);
    layout->addLayout(logs, 2);
    resize(900, 600);

    connect(skip, &QPushButton::clicked, &m_outbox, &Outbox::SendDone);
    connect(reset, &QPushButton::clicked, &m_outbox, &Outbox::operatorReset);
    connect(m_outgoing, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { m_outbox.cancelRow(row); });
    m_refresh.setSingleShot(true);
    m_refresh.setInterval(100);
    connect(&m_refresh, &QTimer::timeout, this, &OutboxWindow::refresh);
    connect(&m_outbox, &Outbox::changed, &m_refresh, qOverload<>(&QTimer::start));
}

void OutboxWindow::refresh()
{
    if (!isVisible())
        return; // a hidden window is brought up to date when shown
    const QStringList &rows = m_outbox.outgoingList();
    m_outgoing->setRowCount(int(rows.size()));
    for (int r = 0; r < rows.size(); ++r) {
        m_outgoing->setItem(r, 0, new QTableWidgetItem(rows[r].section(QLatin1Char('\t'), 0, 0)));
        m_outgoing->setItem(r, 1, new QTableWidgetItem(rows[r].section(QLatin1Char('\t'), 1)));
    }
    const QStringList &images = m_outbox.images();
    m_images->setRowCount(int(images.size()));
    for (int r = 0; r < images.size(); ++r)
        m_images->setItem(r, 0, new QTableWidgetItem(images[r]));
    m_level->setText(m_outbox.currentLevel());
    m_uid->setText(m_outbox.currentUid());
    m_status->setText(m_outbox.status());
    m_destination->setText(m_outbox.destinationText());
    m_connection->setText(m_outbox.connectionText());
    m_waitCount->setText(QString::number(m_outbox.waitCounter()));
    m_ready->setStyleSheet(QStringLiteral("background:") + colour(m_outbox.readyIndicator()));
    m_connectionShape->setStyleSheet(QStringLiteral("background:") + colour(m_outbox.connectionIndicator()));
    QString log = m_outbox.logText();
    m_log->setPlainText(log.remove(QLatin1Char('\r')));
    QString completed = m_outbox.completedText();
    m_completed->setPlainText(completed.remove(QLatin1Char('\r')));
}

void OutboxWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_outbox.isLoaded())
        m_outbox.load();
    refresh();
}

void OutboxWindow::closeEvent(QCloseEvent *event)
{
    m_outbox.close();
    event->accept();
}

} // namespace pacs
