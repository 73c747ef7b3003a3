#pragma once

#include "core/HeadlessPrompter.h"

namespace pacs {

class ServerController;

// The program without windows: activity to standard output, error-box lines
// to standard error, questions answered by the headless prompter, and the
// start-up sequence run once the event loop is up.
class HeadlessService
{
public:
    explicit HeadlessService(ServerController &controller);

    // Writes the controller's log lines to the console (also used by the desktop).
    static void echoToConsole(ServerController &controller);
    // The line that tells an administrator where the archive is.
    static void reportReady(ServerController &controller);

    void start();

private:
    ServerController &m_controller;
    HeadlessPrompter m_prompter;
};

} // namespace pacs
