// HttpDateLine: the "Date: ...\r\n" header line for the current second, as
// the host adds it to every response of the extension.
//
// Each thread keeps its own copy and formats it again only when the second
// changes, so the hot path costs one clock read. Any thread.
#ifndef PENDRAKEL_SERVER_HTTP_DATE_H_
#define PENDRAKEL_SERVER_HTTP_DATE_H_

#include <string_view>

namespace pendrakel::server {

// Valid on the calling thread until its next call.
std::string_view HttpDateLine();

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_HTTP_DATE_H_
