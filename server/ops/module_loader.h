// ExtensionModule: an extension module loaded with dlopen, its three entry
// points resolved by name, started with GetExtensionVersion and, at the end,
// stopped with TerminateExtension and unloaded.
//
// Load and Start run once on the main thread before any request; Stop runs
// once on the main thread after the last request has returned. Between them
// HttpExtensionProc (proc()) is called from many threads at once, which the
// module's contract allows. The object owns the dlopen handle.
#ifndef PENDRAKEL_SERVER_OPS_MODULE_LOADER_H_
#define PENDRAKEL_SERVER_OPS_MODULE_LOADER_H_

#include <string>

#include "base/isapi.h"
#include "base/settings_file.h"

namespace pendrakel::server {

class ExtensionModule {
 public:
  ExtensionModule() = default;
  ~ExtensionModule();
  ExtensionModule(const ExtensionModule&) = delete;
  ExtensionModule& operator=(const ExtensionModule&) = delete;

  // Loads the module at `path` (made absolute first, so that the module and
  // this host agree on its folder) and resolves the entry points. On failure
  // returns false and sets `error` to one line naming the module path.
  bool Load(const std::string& path, std::string& error);

  // Calls GetExtensionVersion. On FALSE returns false and sets `error` to
  // one line naming the module and the settings file it reads.
  // REQUIRES: Load succeeded.
  bool Start(std::string& error);

  // TerminateExtension (when started) and dlclose. Idempotent.
  void Stop();

  PFN_HTTPEXTENSIONPROC proc() const { return proc_; }
  const std::string& path() const { return path_; }
  // <module folder>/Pendrakel.setting.
  std::string SettingsPath() const;

 private:
  std::string path_;
  void* handle_ = nullptr;
  bool started_ = false;
  PFN_GETEXTENSIONVERSION get_version_ = nullptr;
  PFN_HTTPEXTENSIONPROC proc_ = nullptr;
  PFN_TERMINATEEXTENSION terminate_ = nullptr;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_OPS_MODULE_LOADER_H_
