#pragma once
/// Marks what a norvex library offers to other libraries and programs. Every library is
/// built with hidden symbols by default; only what carries NORVEX_API is exported, so
/// implementation details stay private and the shared libraries load faster.

#define NORVEX_API __attribute__((visibility("default")))
