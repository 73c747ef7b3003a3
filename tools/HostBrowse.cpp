#include "tools/HostBrowse.h"

namespace pacs::tools {

HostBrowse::HostBrowse(HostProgram &program, QObject *parent) : QObject(parent), m_program(program)
{
}

void HostBrowse::Init()
{
    m_s = BrowseSettings{};
    m_assignments.clear();
}

void HostBrowse::setPropParentWindow(QObject *window)
{
    m_s.parentWindow = window;
    record("PropParentWindow", window ? window->objectName() : QString());
}

void HostBrowse::record(const char *name, const QString &value)
{
    m_assignments << QLatin1String(name) + QLatin1Char('=') + value;
}

} // namespace pacs::tools
