#pragma once
// One deleter template for every C handle the engines hand out.

#include <memory>

namespace norvex::sql::detail {

template <auto Release>
struct Deleter {
  template <class T>
  void operator()(T* handle) const noexcept {
    if (handle != nullptr) Release(handle);
  }
};

template <class T, auto Release>
using Handle = std::unique_ptr<T, Deleter<Release>>;

}  // namespace norvex::sql::detail
