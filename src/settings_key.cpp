#include "settings_key.h"

#include <windows.h>

#include "scoped_handles.h"

namespace {

constexpr wchar_t kSettingsKeyPath[] = L"Software\\Quorvane Inc\\ZELK";

// Deleted in this order. The settings key itself, its values and any other subkey stay.
constexpr const wchar_t* kSettingsSubkeys[] = {
    L"MAINWINDOW",   L"FOLDERWATCH",    L"QUEUEDLIST",         L"APPSTATUS",
    L"LASTSUBFILES", L"LASTWATCHFILES", L"PREFERENCES_OUTPUT",
};

}  // namespace

void RemoveSettingsSubkeys() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
    return;
  }
  const UniqueHkey settingsKey(key);
  // RegDeleteKeyW deletes only a subkey without subkeys of its own, so a listed subkey
  // that holds others stays whole; the access the parent was opened with does not matter.
  for (const wchar_t* subkey : kSettingsSubkeys) {
    RegDeleteKeyW(settingsKey.get(), subkey);
  }
}
