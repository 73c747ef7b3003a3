#pragma once

#include "app/shell/CommandOutput.h"

#include <QString>
#include <QStringList>
#include <cstdio>

namespace pacs {

class HomeFolder;

// The archive on a database server, from the command line (they need no
// open archive):
//   install-db --to "<connection string>"  the archive's and HIS schemas on
//       an empty server database; DBServer.txt names it (if not yet there)
//   migrate --to "<connection string>"     the embedded archive copied there,
//       counted, and DBServer.txt switched when every table matched
class DatabaseCommands : public CommandOutput
{
public:
    explicit DatabaseCommands(const HomeFolder &home, std::FILE *out = stdout, std::FILE *err = stderr);

    static bool handles(const QString &command);
    // 0 done, 1 failed, 2 not understood.
    int run(const QString &command, const QStringList &arguments);

private:
    const HomeFolder &m_home;
};

} // namespace pacs
