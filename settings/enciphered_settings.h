// The settings kept enciphered, by policy OID or registry value name: their clear text, and
// their stored form (which every copy of the module can decipher), stays out of every trace
// line and every audit record. Constants only, so that the agent's audit masks the same
// settings as the module without linking it; definitions.cc checks at compile time that its
// tables name exactly these.
//
// Thread safety: constants only.
#ifndef SETTINGS_ENCIPHERED_SETTINGS_H_
#define SETTINGS_ENCIPHERED_SETTINGS_H_

#include <string_view>

namespace settings {

inline constexpr std::string_view kEncipheredPolicyOids[] = {"1.3.6.1.4.1.8642.18.1.38.160"};
inline constexpr std::string_view kEncipheredRegistryValues[] = {"UserHldPassword"};

// True when `oid` names a setting the definitions keep enciphered (a policy string by its
// OID, a registry value by its name), whatever is installed: a page may name one whose
// product is not, and its clear text must stay out of the trace all the same.
constexpr bool IsEncipheredSetting(std::string_view oid) {
  for (std::string_view name : kEncipheredPolicyOids)
    if (oid == name) return true;
  for (std::string_view name : kEncipheredRegistryValues)
    if (oid == name) return true;
  return false;
}

}  // namespace settings

#endif  // SETTINGS_ENCIPHERED_SETTINGS_H_
