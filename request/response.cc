#include "request/response.h"

namespace pendrakel {

const char* StatusText(Status status) {
  switch (status) {
    case Status::kOk:
      return "200 OK(Pendrakel)";
    case Status::kCreated:
      return "201 Created(Pendrakel)";
    case Status::kNoContent:
      return "204 No Content(Pendrakel)";
    case Status::kNotFound:
      return "404 Not Found(Pendrakel)";
    case Status::kServerError:
      return "500 Internal Server Error(Pendrakel)";
    case Status::kNotImplemented:
      return "501 Not Implemented(Pendrakel)";
  }
  return "500 Internal Server Error(Pendrakel)";
}

void Response::SendWithoutBody(Status status) {
  block_.Append("Content-Length: 0\r\n");
  SendHeadBeforeBody(status);
}

void Response::SendHeadBeforeBody(Status status) {
  block_.Close();
  ecb_->ServerSupportFunction(ecb_->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                              const_cast<char*>(StatusText(status)), nullptr,
                              reinterpret_cast<DWORD*>(block_.text()));
}

void Response::SendBody(const unsigned char* data, uint32_t size) {
  DWORD bytes = size;
  ecb_->WriteClient(ecb_->ConnID, const_cast<unsigned char*>(data), &bytes,
                    HSE_IO_SYNC);
}

}  // namespace pendrakel
