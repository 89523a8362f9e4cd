#include "server/http_date.h"

#include <ctime>

namespace pendrakel::server {
namespace {

constexpr size_t kDateLineBytes = 64;

struct DateCache {
  time_t second = -1;
  char line[kDateLineBytes] = {};
  size_t size = 0;
};

}  // namespace

std::string_view HttpDateLine() {
  thread_local DateCache cache;
  const time_t now = std::time(nullptr);
  if (now != cache.second) {
    struct tm utc;
    gmtime_r(&now, &utc);
    cache.size = std::strftime(cache.line, sizeof cache.line,
                               "Date: %a, %d %b %Y %H:%M:%S GMT\r\n", &utc);
    cache.second = now;
  }
  return std::string_view(cache.line, cache.size);
}

}  // namespace pendrakel::server
