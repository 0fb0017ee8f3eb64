#pragma once
// A row sink that keeps every row, for tests that run statements on a backend directly.

#include <string>
#include <vector>

#include "backend.hpp"

namespace norvex::sql::test {

struct CollectRows : detail::RowSink {
  void columns(const std::vector<std::string>&) override {}
  bool row(const Row& r) override {
    rows.push_back(r);
    return true;
  }
  std::vector<Row> rows;
};

}  // namespace norvex::sql::test
