#pragma once

// Plumbing shared by the toolkit classes: one-time DCMTK set-up, the single
// place where a DCMTK condition becomes error text, delivery of work to the
// main thread, and a small serial executor for network actions.

#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class OFCondition;

namespace pacs::toolkit::detail {

// Registers the codecs, turns Nagle off and ignores SIGPIPE. Idempotent.
void initializeRuntime();

// "C-STORE with STORESCP: <DCMTK text>"; without a peer "C-STORE: <DCMTK text>", with
// neither the bare text. Every DCMTK failure reaches the program through here.
QString conditionText(const OFCondition &condition, const QString &remoteAe, const QString &command);
// The same form for a failure that is not a DCMTK condition.
QString failureText(const QString &reason, const QString &remoteAe, const QString &command);

// What the exception being handled says; call only inside a catch block.
QString currentExceptionText();
// For failures that have no connection to be reported on: Qt's log (stderr).
void logUnreported(const QString &text);

// Gives the calling thread, once for its lifetime, the nice value
// `niceness`: Qt's thread priorities do nothing for ordinary Linux threads.
// For pool threads whose work may wait while others' may not.
void yieldThisThreadTo(int niceness);

// Runs fn on the application's main thread (queued; never inline).
void postToMain(std::function<void()> fn);

// Runs fn; when called on the main thread, fn runs on a helper thread while the
// main thread keeps processing events (so the program's own listener can answer).
void runBlocking(const std::function<void()> &fn);

// Waits until every task posted to any executor has run (a command's
// process must not run its exit while a network thread still talks to DCMTK);
// false when some are left after `milliseconds`.
bool waitForNetworkTasks(int milliseconds);

// One thread that runs posted tasks in order. The thread owns only the shared
// queue state, so the executor may be destroyed from inside one of its tasks.
class SerialExecutor
{
public:
    SerialExecutor();
    ~SerialExecutor();
    SerialExecutor(const SerialExecutor &) = delete;
    SerialExecutor &operator=(const SerialExecutor &) = delete;

    void post(std::function<void()> task);

private:
    struct State
    {
        std::mutex mutex;
        std::condition_variable cv;
        std::deque<std::function<void()>> tasks;
        bool stop = false;
    };
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

} // namespace pacs::toolkit::detail
