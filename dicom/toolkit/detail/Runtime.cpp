#include "dicom/toolkit/detail/Runtime.h"

#include "dicom/toolkit/detail/GuardedJpegDecoder.h"
#include "dicom/toolkit/detail/J2kCodec.h"
#include "dicom/toolkit/detail/LosslessJpegCodec.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>
#include <QThread>

#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmdata/dcrleerg.h>
#include <dcmtk/dcmimage/diregist.h> // colour images for the viewer and lossy encoders
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/dcmjpls/djencode.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/ofstd/ofcond.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <csignal>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cstdlib>
#include <exception>

namespace pacs::toolkit::detail {

void initializeRuntime()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // DCMTK 3.6.7 reads TCP_NODELAY from the environment for every new
        // association; set it before the first one (and before our threads exist).
        setenv("TCP_NODELAY", "1", 1);
        // An image is a few half-megabyte buffers, made on one thread and
        // freed on another. glibc gives blocks of that size a mapping of
        // their own and unmaps it on free, so every image paid its page
        // faults again (a fifth of the main thread's time while receiving).
        // From the heap they are reused; the fixed trim threshold keeps
        // glibc from handing the heap back after every burst.
        mallopt(M_MMAP_THRESHOLD, 64 * 1024 * 1024);
        mallopt(M_TRIM_THRESHOLD, 128 * 1024 * 1024);
        // A peer that vanishes mid-write must cost an association, not the process.
        std::signal(SIGPIPE, SIG_IGN);
        dcmConnectionTimeout.set(15);
        dcmDisableGethostbyaddr.set(OFTrue); // peer addresses as numbers, no DNS wait per association
        registerLosslessJpegCodecs(); // ahead of DCMTK's: the first codec for a syntax wins
        registerGuardedJpegDecoders(); // DCMTK's JPEG decoders, kept from streams that make them loop
        DJEncoderRegistration::registerCodecs();
        DJLSDecoderRegistration::registerCodecs();
        DJLSEncoderRegistration::registerCodecs();
        DcmRLEDecoderRegistration::registerCodecs();
        DcmRLEEncoderRegistration::registerCodecs();
        registerJ2kCodecs();
    });
}

QString failureText(const QString &reason, const QString &remoteAe, const QString &command)
{
    if (command.isEmpty() && remoteAe.isEmpty())
        return reason; // the caller says where itself
    QString where = command.isEmpty() ? QStringLiteral("DICOM") : command;
    if (!remoteAe.isEmpty())
        where += QStringLiteral(" with ") + remoteAe;
    return where + QStringLiteral(": ") + reason;
}

QString conditionText(const OFCondition &condition, const QString &remoteAe, const QString &command)
{
    // System error texts inside conditions come in the locale's encoding.
    return failureText(QString::fromLocal8Bit(condition.text()), remoteAe, command);
}

QString currentExceptionText()
{
    try {
        throw;
    } catch (const std::exception &e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("unknown exception");
    }
}

void logUnreported(const QString &text)
{
    qCritical("%s", text.toLocal8Bit().constData());
}

void yieldThisThreadTo(int niceness)
{
    thread_local int applied = 0;
    if (applied == niceness)
        return;
    if (::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), niceness) == 0)
        applied = niceness;
}

void postToMain(std::function<void()> fn)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        fn(); // no event loop to deliver to
        return;
    }
    QMetaObject::invokeMethod(app, [fn = std::move(fn)] {
        try {
            fn();
        } catch (...) {
            // Program handlers own their errors; nothing may unwind into Qt.
            logUnreported(QStringLiteral("main-thread task failed: ") + currentExceptionText());
        }
    }, Qt::QueuedConnection);
}

void runBlocking(const std::function<void()> &fn)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        fn();
        return;
    }
    QEventLoop loop;
    std::thread helper([fn, &loop] {
        try {
            fn();
        } catch (...) {
            logUnreported(QStringLiteral("blocking task failed: ") + currentExceptionText());
        }
        // Queued, so a quit that comes before exec() still ends the loop.
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    helper.join();
}

namespace {
// Tasks posted to any executor and not yet finished.
std::mutex g_tasksMutex;
std::condition_variable g_tasksDone;
long g_outstandingTasks = 0;

void taskFinished()
{
    std::lock_guard lock(g_tasksMutex);
    if (--g_outstandingTasks == 0)
        g_tasksDone.notify_all();
}
} // namespace

bool waitForNetworkTasks(int milliseconds)
{
    std::unique_lock lock(g_tasksMutex);
    return g_tasksDone.wait_for(lock, std::chrono::milliseconds(milliseconds), [] { return g_outstandingTasks == 0; });
}

SerialExecutor::SerialExecutor() : m_state(std::make_shared<State>())
{
    m_thread = std::thread([state = m_state] {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(state->mutex);
                state->cv.wait(lock, [&] { return state->stop || !state->tasks.empty(); });
                if (state->tasks.empty())
                    return;
                task = std::move(state->tasks.front());
                state->tasks.pop_front();
            }
            try {
                task();
            } catch (...) {
                logUnreported(QStringLiteral("network task failed: ") + currentExceptionText());
            }
            task = nullptr; // may destroy the executor's owner; touch only `state` from here
            taskFinished();
        }
    });
}

SerialExecutor::~SerialExecutor()
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->stop = true;
    }
    m_state->cv.notify_all();
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();
    else if (m_thread.joinable())
        m_thread.join();
}

void SerialExecutor::post(std::function<void()> task)
{
    {
        std::lock_guard lock(g_tasksMutex);
        ++g_outstandingTasks;
    }
    {
        std::lock_guard lock(m_state->mutex);
        m_state->tasks.push_back(std::move(task));
    }
    m_state->cv.notify_one();
}

} // namespace pacs::toolkit::detail
