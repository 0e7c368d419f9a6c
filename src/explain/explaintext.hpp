// Texts from patches, as UTF-8: how they read (ASCII, UTF-8 or code page
// 437, as the DOS-era files are) and how they are shown on a terminal;
// shared by zeminfo and the web page's patcher.
#pragma once

#include <string>

// How the texts of a patch are read: plain ASCII; UTF-8, when they are valid
// UTF-8 and not all ASCII; else code page 437, as the DOS-era files are.
enum textencoding { textascii, textutf8, textcp437 };

// Text of a DOS-era file, code page 437, as UTF-8; n bytes or up to a zero byte.
bool cp437init(std::string &error);
std::string cp437(const unsigned char *p, long n);
// How n bytes of text (up to a zero byte) read: ASCII, UTF-8 or code page 437.
// A text that fills its field may end in a character cut short.
textencoding encodingof(const unsigned char *p, long n, bool fillsfield = false);
// The text as UTF-8, read in encoding e; a character cut short at the end of
// a text that fills its field is dropped.
std::string decodetext(const unsigned char *p, long n, textencoding e);
// A text of many lines for a terminal: control characters other than newline
// and tab shown as DOS shows them, CR LF as a newline.
std::string forterminal(const std::string &utf8);
// A text for one line of the report (a description, an identifier, a file
// name): every control character but tab shown as DOS shows it, a newline
// too, so that nothing in it can begin a line of its own; a C1 control
// character as U+FFFD.
std::string oneline(const std::string &text);
