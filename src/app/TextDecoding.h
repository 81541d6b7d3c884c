#pragma once
// How the bytes of names, device names and messages are shown. Files are taken as the operator
// wrote them, in whatever code page: a text is shown as UTF-8 when it is valid UTF-8, otherwise
// as Shift_JIS when it decodes cleanly as that, otherwise as Latin-1 (which never fails).

#include <QString>
#include <string_view>

namespace cadentor {

QString decodeBytes(std::string_view bytes);

// A text of several lines (CR LF, CR or LF ends) whose lines may come from different sources,
// such as a message from our table and a name from the operator's file: each line is decoded
// on its own, and the lines are joined with LF as the widgets want them.
QString decodeLines(std::string_view bytes);

// Whether this build's text codecs know Shift_JIS (they may lack it without ICU).
bool shiftJisAvailable();

} // namespace cadentor
