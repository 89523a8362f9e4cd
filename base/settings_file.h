// The name of the settings file an extension module reads from its own
// folder; the host names it too when it reports where the module looks.
#ifndef PENDRAKEL_BASE_SETTINGS_FILE_H_
#define PENDRAKEL_BASE_SETTINGS_FILE_H_

namespace pendrakel {

inline constexpr char kSettingsFileName[] = "Pendrakel.setting";

}  // namespace pendrakel

#endif  // PENDRAKEL_BASE_SETTINGS_FILE_H_
