// RemoveFolderTree on real folders in the temp folder.
#include <gtest/gtest.h>

#include "folder_tree.h"
#include "test_support.h"

namespace {

TEST(RemoveFolderTree, RemovesAnEmptyFolder) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.path + L"\\OrvantoServer";
  ASSERT_TRUE(MakeFolder(folder));

  EXPECT_TRUE(RemoveFolderTree(folder));
  EXPECT_FALSE(Exists(folder));
}

TEST(RemoveFolderTree, RemovesNestedFilesOfEveryKindAndNothingBeside) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.path + L"\\OrvantoServer";
  const std::wstring sibling = scratch.path + L"\\OrvantoServer2";  // shares the prefix
  for (const wchar_t* sub : {L"", L"\\bin", L"\\bin\\plug ins", L"\\.config", L"\\logs", L"\\logs\\2026.12",
                             L"\\Ünïcødé ☃ 文件夹", L"\\empty"}) {
    ASSERT_TRUE(MakeFolder(folder + sub));
  }
  const struct {
    const wchar_t* name;
    DWORD attributes;
  } files[] = {
      {L"\\server.exe", FILE_ATTRIBUTE_NORMAL},
      {L"\\bin\\read only.dll", FILE_ATTRIBUTE_READONLY},
      {L"\\bin\\plug ins\\hidden system.dat", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
      {L"\\bin\\plug ins\\all.three.bits", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
      {L"\\.config\\.settings", FILE_ATTRIBUTE_NORMAL},
      {L"\\logs\\server.log.1.gz", FILE_ATTRIBUTE_ARCHIVE},
      {L"\\logs\\2026.12\\NODOT", FILE_ATTRIBUTE_READONLY},
      {L"\\Ünïcødé ☃ 文件夹\\données.txt", FILE_ATTRIBUTE_NORMAL},
  };
  for (const auto& file : files) ASSERT_TRUE(MakeFile(folder + file.name, "payload", file.attributes));
  ASSERT_TRUE(MakeFolder(sibling));
  ASSERT_TRUE(MakeFile(sibling + L"\\keep.txt", "keep"));
  ASSERT_TRUE(MakeFile(scratch.path + L"\\OrvantoServer.txt", "keep"));

  EXPECT_TRUE(RemoveFolderTree(folder));

  EXPECT_FALSE(Exists(folder));
  EXPECT_EQ(ListTree(scratch.path),
            (std::vector<std::wstring>{L"OrvantoServer.txt", L"OrvantoServer2", L"OrvantoServer2\\keep.txt"}));
  EXPECT_EQ(ReadContent(sibling + L"\\keep.txt"), "keep");
}

TEST(RemoveFolderTree, AMissingOrUnnamedFolderIsNotFoundAndNothingIsTouched) {
  ScratchFolder scratch;
  ASSERT_TRUE(MakeFile(scratch.path + L"\\keep.txt", "keep"));

  EXPECT_FALSE(RemoveFolderTree(scratch.path + L"\\OrvantoServer"));
  EXPECT_FALSE(RemoveFolderTree(scratch.path + L"\\no such\\OrvantoServer"));
  // What a failed path join leaves behind must never be taken for a folder: an empty path
  // would list the current drive's root, a relative one the current folder.
  ASSERT_TRUE(SetCurrentDirectoryW(scratch.path.c_str()));
  EXPECT_FALSE(RemoveFolderTree(L""));
  EXPECT_FALSE(RemoveFolderTree(L"keep.txt"));
  EXPECT_FALSE(RemoveFolderTree(L"."));
  EXPECT_FALSE(RemoveFolderTree(scratch.path.substr(0, 3)));  // the drive's root
  SetCurrentDirectoryW(ExecutableFolder().c_str());

  EXPECT_EQ(ListTree(scratch.path), std::vector<std::wstring>{L"keep.txt"});
}

TEST(RemoveFolderTree, AFileHeldOpenStaysWithItsFoldersAndTheRestGoes) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.path + L"\\ovt-server";
  for (const wchar_t* sub : {L"", L"\\data", L"\\data\\db", L"\\logs"}) ASSERT_TRUE(MakeFolder(folder + sub));
  ASSERT_TRUE(MakeFile(folder + L"\\data\\db\\store.db", "in use"));
  ASSERT_TRUE(MakeFile(folder + L"\\data\\db\\other.db", "free"));
  ASSERT_TRUE(MakeFile(folder + L"\\logs\\a.log", "free"));
  ASSERT_TRUE(MakeFile(folder + L"\\readme.txt", "free", FILE_ATTRIBUTE_READONLY));

  {
    HeldFiles held({folder + L"\\data\\db\\store.db"});
    ASSERT_TRUE(held.holding);
    EXPECT_TRUE(RemoveFolderTree(folder));
    EXPECT_EQ(ListTree(scratch.path), (std::vector<std::wstring>{L"ovt-server", L"ovt-server\\data",
                                                                 L"ovt-server\\data\\db",
                                                                 L"ovt-server\\data\\db\\store.db"}));
  }
  // Once released, a second pass finishes the job.
  EXPECT_TRUE(RemoveFolderTree(folder));
  EXPECT_FALSE(Exists(folder));
}

TEST(RemoveFolderTree, ALinkInsideTheTreeIsNeverFollowed) {
  ScratchFolder scratch;
  const std::wstring folder = scratch.path + L"\\OrvantoServer";
  ASSERT_TRUE(MakeFolder(folder));
  ASSERT_TRUE(MakeFolder(folder + L"\\plugins"));
  ASSERT_TRUE(MakeFile(folder + L"\\plugins\\a.dll", "code"));
  FolderLink link;
  std::string why;
  if (!MakeFolderLink(folder + L"\\plugins\\shared data", scratch.path, link, why)) GTEST_SKIP() << why;
  FillSentinel(link.targetPath, 7);

  EXPECT_TRUE(RemoveFolderTree(folder));

  EXPECT_TRUE(SentinelIntact(link.targetPath, 7));
  EXPECT_FALSE(Exists(folder + L"\\plugins\\a.dll"));
  if (RunningOnWine()) {
    // Wine's RemoveDirectoryW on a Unix link to a folder acts on the target, which is
    // not empty, so the link and the folders above it stay. Windows removes a junction.
    EXPECT_EQ(ListTree(folder), (std::vector<std::wstring>{L"plugins", L"plugins\\shared data"}));
  } else {
    EXPECT_FALSE(Exists(folder));
  }
}

TEST(RemoveFolderTree, AFolderThatIsItselfALinkLosesOnlyTheLink) {
  ScratchFolder scratch;
  FolderLink link;
  std::string why;
  if (!MakeFolderLink(scratch.path + L"\\OrvantoServer", scratch.path, link, why)) GTEST_SKIP() << why;
  FillSentinel(link.targetPath, 11);

  EXPECT_TRUE(RemoveFolderTree(link.linkPath));

  EXPECT_TRUE(SentinelIntact(link.targetPath, 11));
  if (!RunningOnWine()) {  // Wine cannot remove a Unix link to a folder that is not empty
    EXPECT_FALSE(Exists(link.linkPath));
  }
}

}  // namespace
