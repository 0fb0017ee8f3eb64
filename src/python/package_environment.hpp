#pragma once
// The virtual environment whose packages analysis code may import, and a generation
// number that changes whenever packages may have changed.

#include <filesystem>
#include <utility>

namespace norvex::python::detail {

/// The environment directory (empty when none) and its generation.
std::pair<std::filesystem::path, long> package_environment();

}  // namespace norvex::python::detail
