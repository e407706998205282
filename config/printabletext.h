#ifndef PRINTABLETEXT_H
#define PRINTABLETEXT_H

#include <QtGlobal>

class QString;

// Longest client text shown whole; a longer one would bloat every log line it appears in.
constexpr qsizetype MAX_SHOWN_TEXT = 200;

// Text from a client made safe for one log line: control characters (line breaks, escape,
// DEL, the C1 range, the Unicode line and paragraph separators) are shown escaped as \n, \r,
// \t or \xHH / \uHHHH, so a client cannot start a line of its own or drive a terminal. Every
// other character, the backslash included, is kept as it is. A text longer than maxLength
// characters is cut there and ends in "…"; a negative maxLength keeps it whole.
QString printableText(const QString &text, qsizetype maxLength = MAX_SHOWN_TEXT);

#endif // PRINTABLETEXT_H
