#include "config/settings_document.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "config/settings.h"

namespace pendrakel {
namespace {

static_assert(kMaxSettingsFileBytes <= INT_MAX,
              "the parser takes the document size as an int");

// Bytes read from the settings file per read call.
constexpr size_t kReadChunkBytes = 4096;

// No network, no DTD loading, no entity substitution (none of
// XML_PARSE_NOENT, XML_PARSE_DTDLOAD, XML_PARSE_HUGE), and silence.
constexpr int kParseOptions =
    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Swallows the parser's error reports: the extension prints nothing.
void IgnoreXmlError(void* /*context*/, xmlErrorPtr /*error*/) {}

void InitXmlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

struct ParserContextFree {
  void operator()(xmlParserCtxt* context) const { xmlFreeParserCtxt(context); }
};

// Closes a file descriptor when it goes out of scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Appends the rest of `fd` to `bytes`. Each pass adds at least one byte or
// ends, and the size is capped, so the loop is bounded.
int32_t ReadAll(int fd, std::string& bytes) {
  char chunk[kReadChunkBytes];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got == 0) return kOk;
    if (got < 0) {
      if (errno == EINTR) continue;
      return kErrorFail;
    }
    if (bytes.size() + static_cast<size_t>(got) > kMaxSettingsFileBytes) {
      return kErrorFail;
    }
    bytes.append(chunk, static_cast<size_t>(got));
  }
}

// Reads a regular file whole. O_NONBLOCK keeps a FIFO from blocking the open;
// it has no effect on a regular file.
int32_t ReadSettingsFile(const char* path, std::string& bytes,
                         std::string& why) {
  const ScopedFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) {
    why = std::string("cannot be opened: ") + std::strerror(errno);
    return kErrorFail;
  }
  struct stat status {};
  if (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    why = "is not a regular file";
    return kErrorFail;
  }
  try {
    const int32_t read = ReadAll(fd.get(), bytes);
    if (read != kOk) {
      why = "cannot be read whole (at most " +
            std::to_string(kMaxSettingsFileBytes) + " bytes)";
    }
    return read;
  } catch (const std::bad_alloc&) {
    why = "does not fit in memory";
    return kErrorOutOfMemory;
  }
}

// libxml2's words for a document it refused, with the line.
std::string NotWellFormed(const xmlParserCtxt& context) {
  std::string message = context.lastError.message == nullptr
                            ? std::string("error")
                            : std::string(context.lastError.message);
  while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
    message.pop_back();
  return "is not well-formed at line " + std::to_string(context.lastError.line) +
         ": " + message;
}

bool NameIs(const xmlChar* actual, const char* wanted) {
  return xmlStrEqual(actual, reinterpret_cast<const xmlChar*>(wanted)) != 0;
}

// An element counts under its name only when written without a prefix.
bool IsUnprefixedElement(const xmlNode* node, const char* name) {
  return node->type == XML_ELEMENT_NODE &&
         (node->ns == nullptr || node->ns->prefix == nullptr) &&
         NameIs(node->name, name);
}

SettingText ContentOf(const xmlNode* node) {
  XmlText text(xmlNodeGetContent(node));
  if (text == nullptr) return {kErrorOutOfMemory, nullptr};
  return {kOk, std::move(text)};
}

}  // namespace

SettingsDocument::~SettingsDocument() {
  if (doc_ != nullptr) xmlFreeDoc(doc_);
}

int32_t SettingsDocument::Parse(const char* path, std::string* why) {
  InitXmlOnce();
  std::string bytes;
  std::string reason;
  int32_t status = ReadSettingsFile(path, bytes, reason);
  if (status == kOk && bytes.empty()) {
    reason = "is empty";
    status = kErrorFail;
  }
  if (status == kOk) status = ParseBytes(bytes, reason);
  if (status != kOk && why != nullptr) *why = reason;
  return status;
}

int32_t SettingsDocument::ParseBytes(const std::string& bytes,
                                     std::string& why) {
  const std::unique_ptr<xmlParserCtxt, ParserContextFree> context(
      xmlNewParserCtxt());
  if (context == nullptr || context->sax == nullptr) {
    why = "does not fit in memory";
    return kErrorOutOfMemory;
  }
  context->sax->serror = IgnoreXmlError;
  doc_ = xmlCtxtReadMemory(context.get(), bytes.data(),
                           static_cast<int>(bytes.size()), nullptr, nullptr,
                           kParseOptions);
  if (doc_ != nullptr) return kOk;
  why = NotWellFormed(*context);
  return context->errNo == XML_ERR_NO_MEMORY ? kErrorOutOfMemory : kErrorFail;
}

const xmlNode* SettingsDocument::Root() const {
  return doc_ == nullptr ? nullptr : xmlDocGetRootElement(doc_);
}

const xmlNode* SettingsDocument::FindSetting(const char* name) const {
  const xmlNode* root = Root();
  if (root == nullptr) return nullptr;
  for (const xmlNode* child = root->children; child != nullptr;
       child = child->next) {
    if (IsUnprefixedElement(child, name)) return child;
  }
  return nullptr;
}

SettingText SettingsDocument::Attribute(const xmlNode* element,
                                        const char* name) {
  for (const xmlAttr* attribute = element->properties; attribute != nullptr;
       attribute = attribute->next) {
    if (attribute->ns == nullptr && NameIs(attribute->name, name)) {
      return ContentOf(reinterpret_cast<const xmlNode*>(attribute));
    }
  }
  return {kOk, nullptr};
}

SettingText SettingsDocument::Content(const xmlNode* element) {
  return ContentOf(element);
}

}  // namespace pendrakel
