// One line on standard error from the store's persistence: "pendrakel: "
// and the text, written with one system call so that lines of several
// threads never mix. Any thread.
#ifndef PENDRAKEL_PERSIST_LOG_LINE_H_
#define PENDRAKEL_PERSIST_LOG_LINE_H_

#include <unistd.h>

#include <string>
#include <string_view>

namespace pendrakel {

inline void LogLine(std::string_view text) {
  std::string line = "pendrakel: ";
  line += text;
  line += '\n';
  // Nothing to be done when standard error cannot take it.
  (void)!write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace pendrakel

#endif  // PENDRAKEL_PERSIST_LOG_LINE_H_
