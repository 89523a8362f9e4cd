#include "server/ops/access_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>

#include "server/http/http_date.h"
#include "server/http/request_head.h"
#include "server/limits.h"

namespace pendrakel::server {
namespace {

// "[08/Dec/2026:10:15:42 +0000]" for the current second, per thread.
std::string_view LogTime() {
  thread_local SecondText cache;
  return FormatThisSecond("[%d/%b/%Y:%H:%M:%S +0000]", cache);
}

void AppendNumber(std::string& out, uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

// Unprintable bytes, '"' and '\' escaped; the runs between them are
// appended whole.
void AppendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7f && byte != '"' && byte != '\\') continue;
    out.append(text.data() + run, i - run);
    const char escaped[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
    out.append(escaped, sizeof escaped);
    run = i + 1;
  }
  out.append(text.data() + run, text.size() - run);
}

// At most `room` bytes of `text`, escaped, and "..." when cut; `room`
// shrinks by what was taken.
void AppendCapped(std::string& out, std::string_view text, size_t& room) {
  const bool cut = text.size() > room;
  text = text.substr(0, room);
  room -= text.size();
  AppendEscaped(out, text);
  if (cut) out += "...";
}

// A quoted field of at most kMaxLoggedFieldBytes: "-" when empty.
void AppendQuoted(std::string& out, std::string_view text) {
  size_t room = kMaxLoggedFieldBytes;
  out += '"';
  if (text.empty()) out += '-';
  AppendCapped(out, text, room);
  out += '"';
}

// The request line as sent, one field: the line itself when it could not
// be parsed, else method, target and version.
void AppendRequestLine(std::string& out, const RequestHead* head) {
  if (head != nullptr && !head->request_line_view().empty()) {
    AppendQuoted(out, head->request_line_view());
    return;
  }
  if (head == nullptr || head->method_view().empty()) {
    out += "\"-\"";
    return;
  }
  size_t room = kMaxLoggedFieldBytes;
  out += '"';
  AppendCapped(out, head->method_view(), room);
  out += ' ';
  AppendCapped(out, head->target_view(), room);
  out += " HTTP/1.";
  out += static_cast<char>('0' + head->sent_version % 10);
  out += '"';
}

}  // namespace

void LogBuffer::Write(std::string_view client, const RequestHead* head,
                      int status, int64_t body_bytes, uint64_t microseconds,
                      std::string_view tls) {
  gathered_ += client;
  gathered_ += " - - ";
  gathered_ += LogTime();
  gathered_ += ' ';
  AppendRequestLine(gathered_, head);
  gathered_ += ' ';
  AppendNumber(gathered_, static_cast<uint64_t>(status));
  gathered_ += ' ';
  if (body_bytes < 0) {
    gathered_ += '-';
  } else {
    AppendNumber(gathered_, static_cast<uint64_t>(body_bytes));
  }
  gathered_ += ' ';
  AppendQuoted(gathered_, head == nullptr ? "" : head->FieldValue("referer"));
  gathered_ += ' ';
  AppendQuoted(gathered_,
               head == nullptr ? "" : head->FieldValue("user-agent"));
  gathered_ += ' ';
  AppendNumber(gathered_, microseconds);
  if (!tls.empty()) {
    gathered_ += ' ';
    gathered_ += tls;
  }
  gathered_ += '\n';
  if (gathered_.size() >= kLogHandOverBytes) HandOver();
}

void LogBuffer::HandOver() {
  if (gathered_.empty()) return;
  {
    MutexLock lock(mutex_);
    if (pending_.size() + gathered_.size() > kMaxBufferedLogBytes) {
      dropped_.fetch_add(static_cast<uint64_t>(std::count(
                             gathered_.begin(), gathered_.end(), '\n')),
                         std::memory_order_relaxed);
    } else {
      pending_ += gathered_;
    }
  }
  gathered_.clear();
}

void LogBuffer::TakeInto(std::string& out) {
  MutexLock lock(mutex_);
  out += pending_;
  pending_.clear();
}

std::unique_ptr<AccessLog> AccessLog::Open(const std::string& path,
                                           size_t threads, std::string& error) {
  int fd = STDOUT_FILENO;
  if (path != "-") {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
      error =
          "cannot open the access log " + path + ": " + std::strerror(errno);
      return nullptr;
    }
  }
  return std::unique_ptr<AccessLog>(new AccessLog(path, fd, threads));
}

AccessLog::AccessLog(std::string path, int fd, size_t threads)
    : path_(std::move(path)), fd_(fd) {
  for (size_t i = 0; i < threads; ++i)
    buffers_.push_back(std::make_unique<LogBuffer>());
}

AccessLog::~AccessLog() {
  Stop();
  if (fd_ != STDOUT_FILENO && fd_ >= 0) ::close(fd_);
}

uint64_t AccessLog::dropped_lines() const {
  uint64_t dropped = 0;
  for (const auto& buffer : buffers_) dropped += buffer->dropped();
  return dropped;
}

void AccessLog::Start() {
  writer_ = std::thread([this] { Run(); });
}

void AccessLog::Stop() {
  if (!writer_.joinable()) return;
  for (auto& buffer : buffers_) buffer->HandOver();
  {
    MutexLock lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  writer_.join();
}

void AccessLog::Reopen() {
  {
    MutexLock lock(mutex_);
    reopen_ = true;
  }
  wake_.notify_one();
}

void AccessLog::Run() {
  std::string text;
  for (;;) {
    bool stop = false;
    bool reopen = false;
    {
      MutexLock lock(mutex_);
      // The predicate runs with the mutex held, which the analysis cannot
      // see through the wait.
      wake_.wait_for(
          mutex_, kLogWritePeriod,
          [this]() NO_THREAD_SAFETY_ANALYSIS { return stop_ || reopen_; });
      stop = stop_;
      reopen = reopen_;
      reopen_ = false;
    }
    text.clear();
    for (auto& buffer : buffers_) buffer->TakeInto(text);
    WriteOut(text);
    if (reopen && path_ != "-") {
      const int fd = ::open(path_.c_str(),
                            O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
      if (fd >= 0) {  // else keep writing where we were
        ::close(fd_);
        fd_ = fd;
      }
    }
    if (stop) return;
  }
}

void AccessLog::WriteOut(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = ::write(fd_, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;  // a full disk loses lines, never the host
    done += static_cast<size_t>(wrote);
  }
}

}  // namespace pendrakel::server
