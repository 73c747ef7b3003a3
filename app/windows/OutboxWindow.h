#pragma once

#include <QTimer>
#include <QWidget>

class QLabel;
class QTableWidget;
class QPlainTextEdit;

namespace pacs {

class Outbox;

// "Outbox": the queue to the storage node, the entry being sent and its
// images, the outgoing association's state and the outbox log. Closing it
// discards the queue; the scheduled sender queues unsent images again.
class OutboxWindow : public QWidget
{
    Q_OBJECT
public:
    explicit OutboxWindow(Outbox &outbox, QWidget *parent = nullptr);

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void refresh();

    Outbox &m_outbox;
    QTimer m_refresh; // coalesces a burst of changes into one repaint
    QTableWidget *m_outgoing;
    QTableWidget *m_images;
    QLabel *m_level;
    QLabel *m_uid;
    QLabel *m_status;
    QLabel *m_destination;
    QLabel *m_connection;
    QLabel *m_waitCount;
    QLabel *m_ready;
    QLabel *m_connectionShape;
    QPlainTextEdit *m_log;
    QPlainTextEdit *m_completed;
};

} // namespace pacs
