// The ways of removing a tree that the benchmark compares, each behind one signature.
#pragma once

#include <string>
#include <vector>

#include "bench_tree.h"

struct RemovalMethod {
  const wchar_t* key;  // what --methods calls it
  const char* name;
  // Removes the folder `top` with everything in it. Returns whether the method itself
  // reported success; the benchmark checks the disk either way. `placed` is the tree at
  // `top` as BenchTree::PlaceAt gives it, for a method that needs no listing.
  bool (*remove)(const std::wstring& top, const BenchTree& placed);
};

// Ours first: the others are compared with it.
const std::vector<RemovalMethod>& RemovalMethods();
