// HttpDateLine: the "Date: ...\r\n" header line for the current second, as
// the host adds it to every response of the extension.
//
// FormatThisSecond: the current second in UTC formatted with strftime into
// a cache the caller keeps, formatted again only when the second changes,
// so the hot path costs one clock read. Any thread, each with its own cache.
#ifndef PENDRAKEL_SERVER_HTTP_HTTP_DATE_H_
#define PENDRAKEL_SERVER_HTTP_HTTP_DATE_H_

#include <cstddef>
#include <ctime>
#include <string_view>

namespace pendrakel::server {

struct SecondText {
  time_t second = -1;
  char text[64] = {};
  size_t size = 0;
};

// Valid until the next call with the same cache.
std::string_view FormatThisSecond(const char* format, SecondText& cache);

// Valid on the calling thread until its next call.
std::string_view HttpDateLine();

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_HTTP_HTTP_DATE_H_
