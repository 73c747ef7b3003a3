#pragma once

// DICOM TLS for the listener and for outgoing associations. Off until files
// are configured; a configuration applies to listeners started and to
// associations opened after it.

#include <QString>

namespace pacs::toolkit {

struct ToolkitTlsFiles
{
    QString certificate; // PEM: this node's certificate, optionally followed by its chain
    QString privateKey;  // PEM, not protected by a pass phrase (a service has nobody to type one)
    QString trusted;     // PEM file of the authorities whose peers are trusted; empty: peers are not verified
    bool outgoing = true; // outgoing associations use TLS too

    bool enabled() const { return !certificate.trimmed().isEmpty() && !privateKey.trimmed().isEmpty(); }
};

class ToolkitTls
{
public:
    // Loads the files (no certificate or key: TLS off). A configuration that
    // cannot be loaded is kept as a failure: the listener does not start and
    // outgoing associations are not opened, each with `*error`'s text,
    // rather than fall back to plain TCP without the operator knowing.
    static bool configure(const ToolkitTlsFiles &files, QString *error = nullptr);

    // Listeners started from now on accept TLS only.
    static bool listenerSecure();
    // Outgoing associations opened from now on use TLS.
    static bool outgoingSecure();
    // The text of a configuration that failed; empty otherwise.
    static QString failure();
};

} // namespace pacs::toolkit
