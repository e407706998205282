#ifndef PRINTABLETEXT_H
#define PRINTABLETEXT_H

class QString;

// Text from a client made safe for one log line: control characters (line breaks, escape,
// DEL, the C1 range, the Unicode line and paragraph separators) are shown escaped as \n, \r,
// \t or \xHH / \uHHHH, so a client cannot start a line of its own or drive a terminal. Every
// other character, the backslash included, is kept as it is.
QString printableText(const QString &text);

#endif // PRINTABLETEXT_H
