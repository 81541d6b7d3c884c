#pragma once
// How the bytes of names, device names and messages are shown. Files are taken as the operator
// wrote them, in whatever code page: a text is shown as UTF-8 when it is valid UTF-8, otherwise
// as Shift_JIS when it decodes cleanly as that, otherwise as Latin-1 (which never fails).

#include <QString>
#include <string_view>

namespace cadentor {

QString decodeBytes(std::string_view bytes);

// Whether this build's text codecs know Shift_JIS (they may lack it without ICU).
bool shiftJisAvailable();

// A text with CR LF (or a lone CR) line ends as the widgets want it, with LF.
QString toWidgetLines(const QString& text);

} // namespace cadentor
