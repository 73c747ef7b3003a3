#pragma once

namespace pacs {

// Long operations let the user interface process pending events (after a log
// line, a grid row), so other handlers run in between. A run of statements
// that must all happen or none holds a NoYieldScope: another handler's
// statements must not land inside its transaction, where a rollback would
// take them away too.
void yieldToEvents();

class NoYieldScope
{
public:
    NoYieldScope();
    ~NoYieldScope();
    NoYieldScope(const NoYieldScope &) = delete;
    NoYieldScope &operator=(const NoYieldScope &) = delete;

    static bool active();
};

} // namespace pacs
