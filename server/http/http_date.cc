#include "server/http/http_date.h"

namespace pendrakel::server {

std::string_view FormatThisSecond(const char* format, SecondText& cache) {
  const time_t now = std::time(nullptr);
  if (now != cache.second) {
    struct tm utc;
    gmtime_r(&now, &utc);
    cache.size = std::strftime(cache.text, sizeof cache.text, format, &utc);
    cache.second = now;
  }
  return std::string_view(cache.text, cache.size);
}

std::string_view HttpDateLine() {
  thread_local SecondText cache;
  return FormatThisSecond("Date: %a, %d %b %Y %H:%M:%S GMT\r\n", cache);
}

}  // namespace pendrakel::server
