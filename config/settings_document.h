// SettingsDocument: the settings file, parsed into memory as a well-formed XML
// document, and the few look-ups the settings loader makes in it.
//
// The file is read by this class (regular files only, at most
// kMaxSettingsFileBytes) and handed to libxml2 from memory, so the parser does
// no I/O of its own: no network, no external DTD, no external entities, and
// entities are not substituted. The parse prints nothing.
//
// Names are compared byte by byte as written in the document: a setting is an
// element without a namespace prefix, and an attribute is one without a
// prefix. Texts are the UTF-8 bytes of the document, white space kept as is
// (the loader takes an element's text without the white space around it).
//
// Threads: any one thread at a time per object; libxml2 is initialised once
// per process on first use. The object owns the parsed tree and frees it on
// destruction; element pointers it hands out live as long as it does.
#ifndef PENDRAKEL_CONFIG_SETTINGS_DOCUMENT_H_
#define PENDRAKEL_CONFIG_SETTINGS_DOCUMENT_H_

#include <libxml/tree.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace pendrakel {

// Largest settings file read; a larger one is refused as unreadable. The file
// holds a dozen short settings, so this leaves ample room for comments.
inline constexpr size_t kMaxSettingsFileBytes = size_t{1} << 20;

// A text handed out by libxml2, freed with xmlFree.
struct XmlTextFree {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using XmlText = std::unique_ptr<xmlChar, XmlTextFree>;

// Outcome of asking for a setting's text.
struct SettingText {
  int32_t status;  // kOk, or kErrorOutOfMemory
  XmlText text;    // null when the attribute is absent or status is not kOk
};

class SettingsDocument {
 public:
  SettingsDocument() = default;
  SettingsDocument(const SettingsDocument&) = delete;
  SettingsDocument& operator=(const SettingsDocument&) = delete;
  ~SettingsDocument();

  // Reads and parses the file at `path`. Returns kOk; kErrorFail when the
  // file cannot be opened or read, is not a regular file, is empty, is larger
  // than kMaxSettingsFileBytes or is not a well-formed XML document;
  // kErrorOutOfMemory when memory runs out. On failure `why`, when given,
  // says why in words ("is not well-formed at line 3: ..."). REQUIRES:
  // called once.
  int32_t Parse(const char* path, std::string* why = nullptr);

  // The root element, or nullptr before a successful Parse.
  const xmlNode* Root() const;

  // The first direct child element of the root named `name`, or nullptr.
  const xmlNode* FindSetting(const char* name) const;

  // The text of `element`'s attribute `name`; a null text when it is absent.
  static SettingText Attribute(const xmlNode* element, const char* name);

  // The text content of `element`: the texts of all its descendants, joined.
  static SettingText Content(const xmlNode* element);

 private:
  int32_t ParseBytes(const std::string& bytes, std::string& why);

  xmlDoc* doc_ = nullptr;
};

}  // namespace pendrakel

#endif  // PENDRAKEL_CONFIG_SETTINGS_DOCUMENT_H_
