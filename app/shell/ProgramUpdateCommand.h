#pragma once

#include <QStringList>

#include <cstdio>

namespace pacs {

struct CommandLine;

// `program-update [--server URL] [--yes] [--target FILE]`: "Program Update"
// without a window. Needs no archive. The new program, when the answer is
// Yes, starts with the program's own options (--home), not with the
// command again.
class ProgramUpdateCommand
{
public:
    static constexpr const char *Name = "program-update";
    static int execute(const CommandLine &commandLine, std::FILE *out = stdout, std::FILE *err = stderr);
};

} // namespace pacs
