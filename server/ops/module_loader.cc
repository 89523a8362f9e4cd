#include "server/ops/module_loader.h"

#include <dlfcn.h>

#include <cstring>
#include <filesystem>

namespace pendrakel::server {
namespace {

std::string AbsolutePath(const std::string& path) {
  std::error_code error;
  const auto absolute = std::filesystem::absolute(path, error);
  if (error) return path;
  return absolute.lexically_normal().string();
}

// dlerror's text, which already names the file, on one line.
std::string LastLoaderError() {
  const char* text = dlerror();
  std::string line = text == nullptr ? "unknown error" : text;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}

// The entry point `name` of the module loaded as `handle`; null when it
// lacks it.
template <typename EntryPoint>
void Resolve(void* handle, const char* name, EntryPoint& entry) {
  entry = reinterpret_cast<EntryPoint>(dlsym(handle, name));
}

}  // namespace

ExtensionModule::~ExtensionModule() { Stop(); }

bool ExtensionModule::Load(const std::string& path, std::string& error) {
  path_ = AbsolutePath(path);
  handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    error = "cannot load module " + path_ + ": " + LastLoaderError();
    return false;
  }
  Resolve(handle_, "GetExtensionVersion", get_version_);
  Resolve(handle_, "HttpExtensionProc", proc_);
  Resolve(handle_, "TerminateExtension", terminate_);
  const char* missing = get_version_ == nullptr ? "GetExtensionVersion"
                        : proc_ == nullptr      ? "HttpExtensionProc"
                        : terminate_ == nullptr ? "TerminateExtension"
                                                : nullptr;
  if (missing != nullptr) {
    error = "module " + path_ + " lacks the entry point " + missing;
    dlclose(handle_);
    handle_ = nullptr;
    return false;
  }
  return true;
}

bool ExtensionModule::Start(std::string& error) {
  HSE_VERSION_INFO version;
  std::memset(&version, 0, sizeof version);
  if (get_version_(&version) == FALSE) {
    std::error_code ignored;
    const std::string settings = SettingsPath();
    const bool present = std::filesystem::exists(settings, ignored);
    error = "module " + path_ +
            " refused to start (GetExtensionVersion returned FALSE); " +
            (present ? "check its settings file " + settings +
                           " (pendrakel-host --check says what is wrong)"
                     : "it found no settings file at " + settings);
    return false;
  }
  started_ = true;
  return true;
}

void ExtensionModule::Stop() {
  if (started_) terminate_(0);
  started_ = false;
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

std::string ExtensionModule::SettingsPath() const {
  return (std::filesystem::path(path_).parent_path() / kSettingsFileName)
      .string();
}

}  // namespace pendrakel::server
