// Emptying a program folder, for an uninstaller that an administrator runs, in folders that
// others may write to while it runs. The hazards, and what answers each:
//
// - Links inside the tree (junctions, symbolic links, mount points) lead anywhere on the
//   machine. Each entry's kind is decided once (EntryKind), a link if either its folder's
//   listing or its own handle says so; a link is never entered, and it is deleted only
//   through a handle that is the link itself, never one that may be its target.
// - A folder swapped for a link while the walk runs, between its listing and its use,
//   perhaps held still by an opportunistic lock on a file the walk is about to open. Every
//   entry is opened relative to its folder's handle (entry_handles.h), its one name looked
//   up in that folder alone, and listed, judged and deleted through its own handle. No path
//   that runs through a folder of the tree is ever resolved again, so a link put in a
//   folder's place is met only as an entry, judged by its handle, and removed as a link.
// - A folder renamed out of the tree while the walk holds it: a handle follows its folder,
//   so the walk would empty it wherever it went. The walk holds its folders shared with no
//   one who would delete or rename them, and leaves a folder that someone holds so.
// - Names that are no one name of their folder (IsOneName), which a file system other than
//   NTFS might list: they are not opened, and stay, with the folders above them.
// - Names a plain path cannot reach (device names, names ending in a dot or a space, paths
//   past MAX_PATH) are no hazard here: names reach the file system as the listing gave them.
// - Read-only entries, and names in use: DeleteThrough (entry_deletion.h).
//
// The walk is depth first on one thread, with an explicit stack rather than recursion, so
// that a deep tree cannot exhaust the thread's stack; each level holds one handle and one
// listing buffer, so what it holds is bounded by the depth.
#include "folder_tree.h"

#include <windows.h>

#include <string_view>
#include <vector>

#include "entry_handles.h"
#include "path_rules.h"

namespace {

// A folder being emptied: its handle, through which it is listed and then deleted, and its
// listing, read a buffer at a time. LONGLONG keeps the records' 8-byte alignment.
struct OpenFolder {
  UniqueFileHandle handle;
  std::vector<LONGLONG> listing = std::vector<LONGLONG>(512);
  DWORD next = 0;      // byte offset of the next record in `listing`
  bool isRead = true;  // every record in `listing` handled: the next one must be read
  bool isStarted = false;
};

// The next entry of the folder's listing, or null once it is read out or cannot be read.
FILE_FULL_DIR_INFO* NextEntry(OpenFolder& folder) {
  auto* records = reinterpret_cast<BYTE*>(folder.listing.data());
  if (folder.isRead) {
    const FILE_INFO_BY_HANDLE_CLASS from = folder.isStarted ? FileFullDirectoryInfo : FileFullDirectoryRestartInfo;
    const DWORD bytes = static_cast<DWORD>(folder.listing.size() * sizeof(LONGLONG));
    folder.isStarted = true;
    if (!GetFileInformationByHandleEx(folder.handle.get(), from, records, bytes)) return nullptr;
    folder.next = 0;
    folder.isRead = false;
  }
  auto* entry = reinterpret_cast<FILE_FULL_DIR_INFO*>(records + folder.next);
  folder.next += entry->NextEntryOffset;
  folder.isRead = entry->NextEntryOffset == 0;
  return entry;
}

}  // namespace

bool EmptyAndDelete(UniqueFileHandle folder, DeletionMode& mode) {
  std::vector<OpenFolder> openFolders;
  openFolders.push_back({std::move(folder)});
  FILE_FULL_DIR_INFO* entry = NextEntry(openFolders.back());
  if (entry == nullptr && GetLastError() != ERROR_NO_MORE_FILES) return false;
  for (;; entry = NextEntry(openFolders.back())) {
    if (entry == nullptr) {
      // The folder's handle is closed before its parent's listing goes on: it goes only
      // once its last handle is closed.
      DeleteThrough(openFolders.back().handle.get(), mode);
      openFolders.pop_back();
      if (openFolders.empty()) return true;
      continue;
    }
    if (!IsOneName(std::wstring_view(entry->FileName, entry->FileNameLength / sizeof(wchar_t)))) continue;
    const EntryAttributes listed = Listed(entry->FileAttributes, entry->EaSize);
    const EntryKind listedKind = KindOf(listed, listed);
    UniqueFileHandle handle = OpenEntryBelow(openFolders.back().handle.get(), entry->FileName, entry->FileNameLength,
                                             (listed.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                             listedKind == EntryKind::kFolder ? OpenFor::kWalking : OpenFor::kDeleting);
    // A name listed as a plain file and opened as no folder and as itself is one entry of
    // this folder, whatever is there by now (a link put in its place included): deleting
    // it removes nothing else. Its attributes are not read, a request less for most entries.
    OpenedEntry opened =
        listedKind == EntryKind::kFile ? OpenedEntry{std::move(handle), listed} : WithAttributes(std::move(handle));
    if (!opened.handle) continue;  // it stays, and so do the folders above it
    switch (KindOf(listed, opened.attributes)) {
      case EntryKind::kFolder: openFolders.push_back({std::move(opened.handle)}); break;
      case EntryKind::kLink:
        if (IsLinkItself(opened.attributes)) DeleteThrough(opened.handle.get(), mode);
        break;
      case EntryKind::kFile: DeleteThrough(opened.handle.get(), mode); break;
    }
  }
}
