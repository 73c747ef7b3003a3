#pragma once

namespace pacs::tools {

class HostProgram;

// The framework's main object; it only knows the program object it serves.
class HostMain
{
public:
    HostProgram *Program() const { return m_program; }
    void setProgram(HostProgram *program) { m_program = program; }

private:
    HostProgram *m_program = nullptr;
};

} // namespace pacs::tools
