#pragma once

#include <QTimer>
#include <QWidget>
#include <functional>

class QLabel;
class QPushButton;

namespace pacs {

// The start-up window: waits a minute for the network and the database
// server after a reboot, or until Start is pressed, then opens the main window.
class SplashWindow : public QWidget
{
    Q_OBJECT
public:
    // start shows the main window and runs its load to the end.
    explicit SplashWindow(std::function<void()> start, int delayMs = 60000, QWidget *parent = nullptr);

    void pressStart(); // cmdSTART
    QString remainingText() const;

private:
    std::function<void()> m_start;
    QLabel *m_time;
    QPushButton *m_startButton;
    QTimer m_delay;     // Timer1
    QTimer m_countdown; // Timer2
    bool m_started = false;
};

} // namespace pacs
