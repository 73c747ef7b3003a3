#pragma once

// Text of DICOM values and the Specific Character Set (0008,0005).
//
// Inside the program text is Unicode; values that the set governs (PN, LO,
// SH, ST, LT, UC, UT) are read from the set in force for their item (its own
// declaration or the nearest enclosing one) and written so that the dataset
// always says what its bytes are.

#include <QByteArray>
#include <QString>

#include <cstddef>

class DcmItem;
class DcmVR;

namespace pacs::toolkit::detail {

// A value's bytes as text. Undeclared text is UTF-8 where it reads as such,
// Latin-1 otherwise; an unknown set or bytes it cannot hold never lose the
// value (it is then read as if undeclared).
QString decodeValue(const char *bytes, size_t length, DcmItem *item, const DcmVR &vr);

// Bytes for a text going into an element of `item`: ASCII as it is; other text
// in the declared set when that set can hold it, otherwise the declaring item
// (or the dataset) moves to UTF-8 with all its values and says ISO_IR 192.
QByteArray encodeValue(const QString &text, DcmItem *item, const DcmVR &vr);

// ISO 2022 code extensions read without DCMTK: the Japanese multi-byte sets
// (ISO 2022 IR 87, IR 159), which DCMTK reaches through iconv names glibc
// does not have, and any other escape sequence of the standard. `charset` is
// the value of (0008,0005), `delimiters` the VR's ("\\^=" for PN).
QString decodeIso2022(const char *bytes, size_t length, const QString &charset, const QString &delimiters);

} // namespace pacs::toolkit::detail
