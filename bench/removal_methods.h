// The ways of removing a tree that the benchmark compares, each behind one signature.
#pragma once

#include <string>
#include <vector>

struct RemovalMethod {
  const char* name;
  // Removes the folder `top` with everything in it. Returns whether the method itself
  // reported success; the benchmark checks the disk either way.
  bool (*remove)(const std::wstring& top);
};

// Ours first: the others are compared with it.
const std::vector<RemovalMethod>& RemovalMethods();
