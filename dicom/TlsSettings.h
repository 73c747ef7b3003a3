#pragma once

// The TLS files of the settings, handed to the toolkit: every part of the
// program that opens associations (the server, and commands that send from
// their own process) applies them first.

#include <QString>

namespace pacs {
class ServerOptions;

// False, with the reason in `error`, when TLS is configured but its files
// cannot be loaded: associations are then refused rather than made in the clear.
bool applyTlsSettings(const ServerOptions &options, QString *error);

} // namespace pacs
