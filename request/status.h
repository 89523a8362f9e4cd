// Status texts of every response.
#ifndef PENDRAKEL_REQUEST_STATUS_H_
#define PENDRAKEL_REQUEST_STATUS_H_

namespace pendrakel {

inline constexpr char kStatusOk[] = "200 OK(Pendrakel)";
inline constexpr char kStatusCreated[] = "201 Created(Pendrakel)";
inline constexpr char kStatusNoContent[] = "204 No Content(Pendrakel)";
inline constexpr char kStatusNotFound[] = "404 Not Found(Pendrakel)";
inline constexpr char kStatusServerError[] =
    "500 Internal Server Error(Pendrakel)";
inline constexpr char kStatusNotImplemented[] =
    "501 Not Implemented(Pendrakel)";

inline constexpr char kContentLengthZero[] = "Content-Length: 0\r\n";

}  // namespace pendrakel

#endif  // PENDRAKEL_REQUEST_STATUS_H_
