// What an entry is, from a table: what its folder's listing says, what its own handle
// says, and the kind decided from them. They touch nothing.
#include "entry_kind.h"

#include <gtest/gtest.h>

namespace {

constexpr DWORD kFolder = FILE_ATTRIBUTE_DIRECTORY;
constexpr DWORD kReparseFolder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

TEST(EntryKind, ALinkIfTheListingOrTheHandleSaysSo) {
  constexpr DWORD kFile = FILE_ATTRIBUTE_NORMAL;
  constexpr DWORD kReparseFile = FILE_ATTRIBUTE_REPARSE_POINT;
  // What the listing says (attributes, tag), what the handle says, the kind, and whether the
  // handle is the link itself.
  const struct {
    DWORD listed, listedTag, opened, openedTag;
    EntryKind kind;
    bool isLinkItself;
  } rows[] = {
      {kFile, 0, FILE_ATTRIBUTE_READONLY, 0, EntryKind::kFile, false},
      {kFolder, 0, kFolder, 0, EntryKind::kFolder, false},
      {kFolder, 0, kFile, 0, EntryKind::kFile, false},  // a folder swapped for a file
      // A junction, a symbolic link to a folder and one to a file, as Windows shows them.
      {kReparseFolder, IO_REPARSE_TAG_MOUNT_POINT, kReparseFolder, IO_REPARSE_TAG_MOUNT_POINT, EntryKind::kLink, true},
      {kReparseFolder, IO_REPARSE_TAG_SYMLINK, kReparseFolder, IO_REPARSE_TAG_SYMLINK, EntryKind::kLink, true},
      {kReparseFile, IO_REPARSE_TAG_SYMLINK, kReparseFile, IO_REPARSE_TAG_SYMLINK, EntryKind::kLink, true},
      // A folder swapped for a junction after it was listed: only its handle tells.
      {kFolder, 0, kReparseFolder, IO_REPARSE_TAG_MOUNT_POINT, EntryKind::kLink, true},
      // A Unix link under Wine: listed with tag 0, its handle its target's.
      {kReparseFolder, 0, kFolder, 0, EntryKind::kLink, false},
      {kReparseFolder, IO_REPARSE_TAG_MOUNT_POINT, kFolder, 0, EntryKind::kLink, false},
      // Reparse entries that are no links: a cloud-file placeholder, a deduplicated file.
      {kReparseFolder, IO_REPARSE_TAG_CLOUD_6, kReparseFolder, IO_REPARSE_TAG_CLOUD_6, EntryKind::kFolder, false},
      {kReparseFile, IO_REPARSE_TAG_DEDUP, kReparseFile, IO_REPARSE_TAG_DEDUP, EntryKind::kFile, false},
  };
  for (const auto& row : rows) {
    const EntryAttributes opened = {row.opened, row.openedTag};
    EXPECT_EQ(KindOf({row.listed, row.listedTag}, opened), row.kind)
        << std::hex << row.listed << "/" << row.listedTag << ", " << row.opened << "/" << row.openedTag;
    EXPECT_EQ(IsLinkItself(opened), row.isLinkItself) << std::hex << row.opened << "/" << row.openedTag;
  }
}

}  // namespace
