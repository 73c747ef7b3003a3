#include "app/windows/SplashWindow.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace pacs {

SplashWindow::SplashWindow(std::function<void()> start, int delayMs, QWidget *parent)
    : QWidget(parent), m_start(std::move(start))
{
    setWindowTitle(QStringLiteral("TALMIR DICOM Server: Auto-Delay"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Auto-delay to wait for Network and Server to be ready; or Click Start."), this));
    m_time = new QLabel(QString::number(delayMs / 1000), this);
    m_time->setObjectName(QStringLiteral("lblTime"));
    layout->addWidget(m_time);
    m_startButton = new QPushButton(QStringLiteral("Start"), this);
    m_startButton->setObjectName(QStringLiteral("cmdSTART"));
    layout->addWidget(m_startButton);
    connect(m_startButton, &QPushButton::clicked, this, &SplashWindow::pressStart);

    m_delay.setInterval(delayMs);
    m_delay.setSingleShot(true);
    connect(&m_delay, &QTimer::timeout, this, &SplashWindow::pressStart);
    m_delay.start();
    // The countdown goes on while the main window loads, even below zero.
    m_countdown.setInterval(1000);
    connect(&m_countdown, &QTimer::timeout, this, [this] { m_time->setText(QString::number(m_time->text().toInt() - 1)); });
    m_countdown.start();
}

QString SplashWindow::remainingText() const
{
    return m_time->text();
}

void SplashWindow::pressStart()
{
    if (m_started)
        return;
    m_started = true;
    m_delay.stop();
    m_startButton->setEnabled(false);
    m_start();
    m_countdown.stop();
    close();
    QCoreApplication::processEvents();
    deleteLater();
}

} // namespace pacs
