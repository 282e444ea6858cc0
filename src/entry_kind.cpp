#include "entry_kind.h"

namespace {

// Junctions, symbolic links and mount points are name surrogates: they stand for a file
// or folder elsewhere. A tag of 0 is none that Windows gives (Wine lists its links so:
// docs/testing.md, "Windows and Wine"); it is taken for a link, the safe side.
bool SaysLink(EntryAttributes entry) {
  return (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (entry.reparseTag == 0 || IsReparseTagNameSurrogate(entry.reparseTag));
}

}  // namespace

EntryAttributes Listed(DWORD attributes, DWORD tagField) {
  return {attributes, (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? tagField : 0};
}

EntryKind KindOf(EntryAttributes listed, EntryAttributes opened) {
  if (SaysLink(listed) || SaysLink(opened)) return EntryKind::kLink;
  return (opened.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::kFolder : EntryKind::kFile;
}

bool IsLinkItself(EntryAttributes opened) {
  return (opened.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(opened.reparseTag);
}
