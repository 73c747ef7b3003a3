#include "core/EventYield.h"

#include <QCoreApplication>

namespace pacs {

namespace {
int g_noYieldDepth = 0; // main thread only, like every handler
}

void yieldToEvents()
{
    if (g_noYieldDepth == 0 && QCoreApplication::instance())
        QCoreApplication::processEvents();
}

NoYieldScope::NoYieldScope() { ++g_noYieldDepth; }
NoYieldScope::~NoYieldScope() { --g_noYieldDepth; }
bool NoYieldScope::active() { return g_noYieldDepth > 0; }

} // namespace pacs
