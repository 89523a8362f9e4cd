#include "tests/fake_host.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace pendrakel::testing {

FakeRequest::FakeRequest(std::string method, std::string pathInfo)
    : method_(std::move(method)), pathInfo_(std::move(pathInfo)) {
  ecb_.cbSize = sizeof ecb_;
  ecb_.dwVersion = HSE_VERSION;
  ecb_.ConnID = this;
  ecb_.lpszMethod = method_.data();
  ecb_.lpszQueryString = const_cast<char*>("");
  ecb_.lpszPathInfo = pathInfo_.data();
  ecb_.lpszPathTranslated = const_cast<char*>("");
  ecb_.lpszContentType = contentType_.data();
  ecb_.GetServerVariable = &FakeRequest::GetServerVariable;
  ecb_.WriteClient = &FakeRequest::WriteClient;
  ecb_.ReadClient = &FakeRequest::ReadClient;
  ecb_.ServerSupportFunction = &FakeRequest::ServerSupportFunction;
}

FakeRequest& FakeRequest::Header(const std::string& name, std::string value) {
  std::string variable = "HTTP_";
  for (char c : name) {
    variable += c == '-' ? '_' : static_cast<char>(std::toupper(c));
  }
  variables_[variable] = std::move(value);
  return *this;
}

FakeRequest& FakeRequest::ContentType(std::string type) {
  contentType_ = std::move(type);
  ecb_.lpszContentType = contentType_.data();
  return *this;
}

FakeRequest& FakeRequest::Body(std::string body, size_t preload, size_t piece,
                               size_t deliver) {
  body_ = std::move(body);
  piece_ = piece;
  deliver_ = std::min(deliver, body_.size());
  offset_ = std::min({preload, body_.size(), deliver_});
  ecb_.cbTotalBytes = static_cast<DWORD>(body_.size());
  ecb_.cbAvailable = static_cast<DWORD>(offset_);
  ecb_.lpbData = reinterpret_cast<unsigned char*>(body_.data());
  return *this;
}

FakeRequest& FakeRequest::OnWrite(std::function<void()> hook) {
  onWrite_ = std::move(hook);
  return *this;
}

std::vector<std::string> FakeRequest::HeaderLines() const {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = headers_.find("\r\n", start)) != std::string::npos;
       start = end + 2) {
    if (end == start) break;  // the closing empty line
    lines.push_back(headers_.substr(start, end - start));
  }
  return lines;
}

std::string FakeRequest::HeaderValue(const std::string& name) const {
  for (const std::string& line : HeaderLines()) {
    if (line.compare(0, name.size() + 2, name + ": ") == 0) {
      return line.substr(name.size() + 2);
    }
  }
  return "";
}

BOOL FakeRequest::GetServerVariable(HCONN conn, char* name, void* buffer,
                                    DWORD* size) {
  auto* self = static_cast<FakeRequest*>(conn);
  auto it = self->variables_.find(std::string_view(name));
  if (it == self->variables_.end()) return FALSE;
  const std::string& value = it->second;
  if (value.size() + 1 > *size) {
    *size = static_cast<DWORD>(value.size() + 1);
    return FALSE;
  }
  std::memcpy(buffer, value.c_str(), value.size() + 1);
  *size = static_cast<DWORD>(value.size() + 1);
  return TRUE;
}

BOOL FakeRequest::WriteClient(HCONN conn, void* buffer, DWORD* bytes,
                              DWORD /*flags*/) {
  auto* self = static_cast<FakeRequest*>(conn);
  if (self->onWrite_) self->onWrite_();
  self->written_.append(static_cast<const char*>(buffer), *bytes);
  ++self->writeCalls_;
  return TRUE;
}

BOOL FakeRequest::ReadClient(HCONN conn, void* buffer, DWORD* size) {
  auto* self = static_cast<FakeRequest*>(conn);
  const size_t left = self->deliver_ - self->offset_;
  const size_t count =
      std::min({static_cast<size_t>(*size), left, self->piece_});
  if (count == 0) {
    *size = 0;
    return FALSE;  // the client has gone away
  }
  std::memcpy(buffer, self->body_.data() + self->offset_, count);
  self->offset_ += count;
  *size = static_cast<DWORD>(count);
  return TRUE;
}

BOOL FakeRequest::ServerSupportFunction(HCONN conn, DWORD request, void* buffer,
                                        DWORD* /*size*/, DWORD* dataType) {
  auto* self = static_cast<FakeRequest*>(conn);
  if (request != HSE_REQ_SEND_RESPONSE_HEADER) return FALSE;
  ++self->headCalls_;
  self->status_ = static_cast<const char*>(buffer);
  self->headers_ = reinterpret_cast<const char*>(dataType);
  return TRUE;
}

}  // namespace pendrakel::testing
