// RequestParser: Boost.Beast's HTTP/1.1 request parser with the callbacks
// that hand every part of a request to its RequestIntake as it is parsed.
// Private to RequestIntake; one per request, built in place over the last.
#ifndef PENDRAKEL_SERVER_HTTP_REQUEST_PARSER_H_
#define PENDRAKEL_SERVER_HTTP_REQUEST_PARSER_H_

#include <boost/beast/http/basic_parser.hpp>

#include "server/http/request_intake.h"

namespace pendrakel::server {

class RequestParser : public boost::beast::http::basic_parser<true> {
 public:
  explicit RequestParser(RequestIntake& intake) : intake_(intake) {}

 private:
  using string_view = boost::beast::string_view;
  using error_code = boost::beast::error_code;

  void on_request_impl(boost::beast::http::verb, string_view method,
                       string_view target, int version,
                       error_code& ec) override;
  void on_response_impl(int, string_view, int, error_code& ec) override;
  void on_field_impl(boost::beast::http::field, string_view name,
                     string_view value, error_code& ec) override;
  void on_header_impl(error_code& ec) override;
  void on_body_init_impl(const boost::optional<std::uint64_t>&,
                         error_code& ec) override;
  std::size_t on_body_impl(string_view body, error_code& ec) override;
  void on_chunk_header_impl(std::uint64_t, string_view,
                            error_code& ec) override;
  std::size_t on_chunk_body_impl(std::uint64_t, string_view body,
                                 error_code& ec) override;
  void on_finish_impl(error_code& ec) override;

  RequestIntake& intake_;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_HTTP_REQUEST_PARSER_H_
