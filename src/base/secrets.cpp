#include "norvex/base/secrets.hpp"

namespace norvex::base {

std::string scrub(std::string text, std::string_view secret) {
  if (secret.empty()) return text;
  for (auto at = text.find(secret); at != std::string::npos;
       at = text.find(secret, at + kSecretMask.size())) {
    text.replace(at, secret.size(), kSecretMask);
  }
  return text;
}

}  // namespace norvex::base
