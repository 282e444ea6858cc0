// RemoveFolderTree on many random trees. Reproducible: ORVANTO_TREE_SEED sets the first
// tree's seed (tree i uses seed + i) and ORVANTO_TREE_COUNT how many trees to try; a
// failure names the seed that replays it alone.
#include <gtest/gtest.h>

#include <set>

#include "folder_tree.h"
#include "tree_generator.h"

namespace {

std::string Narrow(const std::wstring& text) {
  std::string narrow(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, narrow.data(), static_cast<int>(narrow.size()), nullptr, nullptr);
  narrow.pop_back();
  return narrow;
}

// The folders above a relative path, nearest first.
std::vector<std::wstring> Ancestors(std::wstring path) {
  std::vector<std::wstring> ancestors;
  for (size_t cut = path.find_last_of(L'\\'); cut != std::wstring::npos; cut = path.find_last_of(L'\\')) {
    path.resize(cut);
    ancestors.push_back(path);
  }
  return ancestors;
}

struct Totals {
  unsigned long trees = 0, entries = 0, links = 0, sentinelBytes = 0, heldFiles = 0, pastMaxPath = 0, leftBehind = 0;
};

// Removes one tree and checks the outcome; returns a description of what went wrong, or
// an empty string.
std::string RemoveAndCheck(GeneratedTree& tree, Totals& totals) {
  const std::wstring plainRoot = tree.root.substr(4);
  if (!RemoveFolderTree(plainRoot)) return "RemoveFolderTree returned false for a folder that exists";

  std::string problems;
  for (size_t i = 0; i < tree.links.size(); ++i) {
    if (!SentinelIntact(tree.links[i].targetPath, tree.sentinelSeeds[i])) {
      problems += "a link's target outside the tree was changed: " + Narrow(tree.links[i].targetPath) + "\n";
    }
  }

  // What may stay: files held open, links Windows would not remove and, on Windows, what
  // lies past MAX_PATH (paths are used without a prefix); and every folder above those.
  std::set<std::wstring> mayStay;
  const std::vector<std::wstring> left = Exists(tree.root) ? ListTree(tree.root) : std::vector<std::wstring>{};
  const std::set<std::wstring> leftSet(left.begin(), left.end());
  for (const GeneratedEntry& entry : tree.entries) {
    const size_t fullLength = plainRoot.size() + 1 + entry.relativePath.size() + (entry.isFolder ? 4 : 0);
    const bool pastMaxPath = !RunningOnWine() && fullLength >= MAX_PATH;
    totals.pastMaxPath += pastMaxPath;
    if (entry.isHeld || pastMaxPath || (entry.isLink && leftSet.count(entry.relativePath))) {
      mayStay.insert(entry.relativePath);
      for (const std::wstring& ancestor : Ancestors(entry.relativePath)) mayStay.insert(ancestor);
    }
    if (entry.isHeld && !leftSet.count(entry.relativePath)) {
      problems += "a file held open without sharing was deleted: " + Narrow(entry.relativePath) + "\n";
    }
  }
  for (const std::wstring& entry : left) {
    if (!mayStay.count(entry)) problems += "left behind without reason: " + Narrow(entry) + "\n";
  }
  if (Exists(tree.root) && mayStay.empty()) problems += "the folder itself was left behind without reason\n";

  totals.trees += 1;
  totals.entries += static_cast<unsigned long>(tree.entries.size());
  totals.links += static_cast<unsigned long>(tree.links.size());
  totals.sentinelBytes += static_cast<unsigned long>(tree.sentinelBytes);
  totals.leftBehind += static_cast<unsigned long>(left.size());
  return problems;
}

TEST(GeneratedTrees, NothingOutsideIsTouchedAndOnlyWhatMustStayStays) {
  const unsigned long firstSeed = EnvironmentNumber("ORVANTO_TREE_SEED", 20261206);
  const unsigned long count = EnvironmentNumber("ORVANTO_TREE_COUNT", 200);
  std::printf("trees %lu from seed %lu\n", count, firstSeed);

  ScratchFolder scratch;
  Totals totals;
  for (unsigned long i = 0; i < count; ++i) {
    const unsigned long seed = firstSeed + i;
    std::mt19937 random(static_cast<unsigned>(seed));
    const std::wstring root = scratch.path + L"\\tree " + std::to_wstring(seed) + L" OrvantoServer";
    GeneratedTree tree = GenerateTree(random, root, scratch.path, TreeShape{});
    if (tree.heldFiles) {
      ASSERT_TRUE(tree.heldFiles->holding) << "could not hold files open; seed " << seed;
      totals.heldFiles += 1;
    }
    const std::string problems = RemoveAndCheck(tree, totals);
    tree.heldFiles.reset();
    RemoveScratchTree(tree.root);
    ASSERT_EQ(problems, "") << "replay with ORVANTO_TREE_SEED=" << seed << " ORVANTO_TREE_COUNT=1";
  }
  std::printf("trees %lu, entries %lu, links %lu, sentinel bytes checked %lu, trees with held files %lu, "
              "entries past MAX_PATH %lu, entries left behind (all explained) %lu\n",
              totals.trees, totals.entries, totals.links, totals.sentinelBytes, totals.heldFiles, totals.pastMaxPath,
              totals.leftBehind);
}

}  // namespace
