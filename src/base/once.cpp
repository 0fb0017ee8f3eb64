#include "norvex/base/once.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace norvex::base {

void once_per_process(std::string_view key, const std::function<void()>& init) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<std::once_flag>, std::less<>> flags;
  std::shared_ptr<std::once_flag> flag;
  {
    std::lock_guard lock(mutex);
    auto it = flags.find(key);
    if (it == flags.end())
      it = flags.emplace(std::string(key), std::make_shared<std::once_flag>()).first;
    flag = it->second;
  }
  std::call_once(*flag, init);
}

}  // namespace norvex::base
