// The path rules, from tables: one row a case, the strings given and what the rules
// answer. They decide from the strings alone, so these touch nothing.
#include "path_rules.h"

#include <gtest/gtest.h>

namespace {

// A path, the length of its root, whether it is a folder below a root, the folder above
// it, and its extended-length form (for the paths below a root, the only ones it takes).
const struct {
  const wchar_t* path;
  size_t rootLength;
  bool isBelowRoot;
  const wchar_t *folderAbove, *extended;
} kPaths[] = {
    {LR"()", 0, false, L"", nullptr},
    {LR"(.)", 0, false, L"", nullptr},
    {LR"(\)", 0, false, L"", nullptr},
    {LR"(\keep)", 0, false, L"", nullptr},
    {LR"(C:)", 0, false, L"", nullptr},
    {LR"(C:keep)", 0, false, L"", nullptr},
    {LR"(C:\)", 3, false, L"", nullptr},
    {LR"(C:\keep\)", 3, false, L"", nullptr},
    {LR"(C:\keep\..)", 3, false, L"", nullptr},
    {LR"(C:\keep:stream)", 3, false, L"", nullptr},
    {LR"(C:\OrvantoServer)", 3, true, LR"(C:\)", LR"(\\?\C:\OrvantoServer)"},
    {LR"(c:\Program Files\OrvantoServer)", 3, true, LR"(c:\Program Files)", LR"(\\?\c:\Program Files\OrvantoServer)"},
    {LR"(\\?\C:)", 0, false, L"", nullptr},
    {LR"(\\?\C:\)", 7, false, L"", nullptr},
    {LR"(\\?\C:\a\b)", 7, true, LR"(\\?\C:\a)", LR"(\\?\C:\a\b)"},
    {LR"(\\server\)", 0, false, L"", nullptr},
    {LR"(\\server\share)", 0, false, L"", nullptr},
    {LR"(\\server\share\)", 15, false, L"", nullptr},
    {LR"(\\server\share\a)", 15, true, LR"(\\server\share\)", LR"(\\?\UNC\server\share\a)"},
    {LR"(\\?\UNC\server\)", 0, false, L"", nullptr},
    {LR"(\\?\UNC\server\share\a)", 21, true, LR"(\\?\UNC\server\share\)", LR"(\\?\UNC\server\share\a)"},
    {LR"(\\?\unc\server\share\a)", 21, true, LR"(\\?\unc\server\share\)", LR"(\\?\unc\server\share\a)"},
    {LR"(\\.\C:\a)", 0, false, L"", nullptr},
    {LR"(\\?\Volume{2f4c1e0a-7d3b-11ef-9a01-806e6f6e6963}\a)", 0, false, L"", nullptr},
    {LR"(\\?\unix\tmp\a)", 0, false, L"", nullptr},
};

TEST(PathRules, RootsFoldersAboveAndExtendedForms) {
  for (const auto& row : kPaths) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(row.path)));
    EXPECT_EQ(RootLength(row.path), row.rootLength);
    EXPECT_EQ(IsBelowRoot(row.path), row.isBelowRoot);
    EXPECT_EQ(FolderAbove(row.path), row.folderAbove);
    if (row.extended != nullptr) {
      EXPECT_EQ(ExtendedLengthPath(row.path), row.extended);
    }
  }
}

TEST(PathRules, OneNameOfItsFolder) {
  for (const wchar_t* name : {L"a.txt", L"nul", L"trail.", L"..x", L"Жук"}) EXPECT_TRUE(IsOneName(name)) << name;
  for (const wchar_t* name : {L"", L".", L"..", LR"(a\b)", LR"(..\..\Windows)", L"a:stream", L"a::$DATA"}) {
    EXPECT_FALSE(IsOneName(name)) << name;
  }
}

// The link's final path, whether the walk may follow the link there, the link and the
// final path of the folder it stands in.
const struct {
  const wchar_t* target;
  bool mayWalk;
  const wchar_t *link = LR"(\\?\C:\Program Files\OrvantoServer)", *linkFolder = LR"(\\?\C:\Program Files)";
} kLinks[] = {
    {LR"(\\?\D:\Apps\OrvantoServer)", true},
    {LR"(\\?\D:\orvantoserver)", true},
    {LR"(\\?\C:\Program Files\Moved\OrvantoServer)", true},
    {LR"(\\?\D:\Apps\OtherProgram)", false},
    {LR"(\\?\D:\)", false},
    {LR"(\\?\C:\)", false},
    {LR"(\\?\UNC\server\share\OrvantoServer)", false},
    {LR"(\\?\D:\Apps\OrvantoServer)", false, LR"(\\?\C:\Program Files\OrvantoServer)", LR"()"},
    {LR"(\\?\C:\Program Files)", false, LR"(\\?\C:\Program Files\Program Files)"},
    {LR"(\\?\C:\OrvantoServer)", false, LR"(\\?\C:\OrvantoServer\Program Files\OrvantoServer)",
     LR"(\\?\C:\OrvantoServer\Program Files)"},
    {LR"(\\?\C:\OrvantoServer)", false, LR"(\\?\C:\OrvantoServer\OrvantoServer)", LR"(\\?\C:\OrvantoServer)"},
    {LR"(\\?\C:\OrvantoServer)", false, LR"(\\?\C:\OrvantoServer\OrvantoServer)", LR"(\\?\C:\OrvantoServer\)"},
    {LR"(\\?\c:\orvantoserver)", false, LR"(\\?\C:\OrvantoServer\OrvantoServer)", LR"(\\?\C:\OrvantoServer)"},
    // A folder whose name merely begins like the target's is not below it.
    {LR"(\\?\D:\OrvantoServer)", true, LR"(\\?\D:\OrvantoServer2\OrvantoServer)", LR"(\\?\D:\OrvantoServer2)"},
};

TEST(PathRules, LinkTargetsToWalk) {
  for (const auto& row : kLinks) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(row.link) + L" in " + row.linkFolder + L" to " + row.target));
    EXPECT_EQ(MayWalkLinkTarget(row.link, row.linkFolder, row.target), row.mayWalk);
  }
}

}  // namespace
