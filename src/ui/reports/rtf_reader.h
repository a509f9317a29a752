// A reader of the RTF that the report writer emits (Qt reads no RTF):
// groups, \par, \plain, \f3 (Courier), \fsN, \b, \i, \ul, escaped
// backslashes and braces, \'hh bytes, and the font and colour tables, which
// it skips. Anything else is read as plain text or ignored, never trusted.
#pragma once

#include <QByteArray>

class QTextDocument;

namespace tarnix::ui {

// Replaces the document's content by the RTF's text and formatting.
void rtf_read(const QByteArray& rtf, QTextDocument& document);

}  // namespace tarnix::ui
