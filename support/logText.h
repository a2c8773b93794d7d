// Text from outside the daemon made safe for its line-based logs.
//
// A file name or a trap value may hold any byte. Written as it is, a line
// feed in it would end the log line and let the rest pass for a line of the
// daemon's own, time stamp and level included. So every control character
// (below 0x20, and DEL) is written escaped: "\n", "\r" and "\t" by name, the
// others as "\x" and two hex digits ("\x00", "\x1b"). Other bytes, a
// backslash included, stay as they are. Stateless; any thread may call it.
#ifndef KIVO_SUPPORT_LOGTEXT_H
#define KIVO_SUPPORT_LOGTEXT_H

#include <string>

namespace kivo {

std::string escapeControls(const std::string& text);

}  // namespace kivo

#endif
