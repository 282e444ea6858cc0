// Random folder trees, reproducible from a seed, made of the things a program folder
// really holds and the things that make removal hard: odd names, long names, read-only,
// hidden and system files, empty folders, deep chains, files held open by another
// process, and links to folders outside the tree.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

struct GeneratedEntry {
  std::wstring relativePath;
  bool isFolder = false;
  bool isLink = false;
  bool isHeld = false;
};

struct GeneratedTree {
  std::wstring root;  // with the \\?\ prefix, so that long paths can be made and checked
  std::vector<GeneratedEntry> entries;
  std::vector<FolderLink> links;
  std::vector<unsigned> sentinelSeeds;  // one per link, for its target's content
  std::uint64_t sentinelBytes = 0;
  std::unique_ptr<HeldFiles> heldFiles;
};

struct TreeShape {
  int maxEntries = 300;
  int maxLinks = 2;
  double heldTreeShare = 0.2;  // share of trees in which another process holds files
  double chainShare = 0.25;    // share of trees with a chain deeper than 260 characters
};

// Builds a tree at `root` (a plain path to a folder that does not exist yet). Entries the
// file system refuses (Linux's 255-byte name limit under Wine, say) are left out of the
// result, which lists exactly what was made.
GeneratedTree GenerateTree(std::mt19937& random, const std::wstring& root, const std::wstring& scratch,
                           const TreeShape& shape);
