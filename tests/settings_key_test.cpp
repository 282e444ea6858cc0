// RemoveSettingsSubkeys against the real registry. HKEY_CURRENT_USER is mapped, for this
// process only, to a volatile scratch key, so a real user's settings are never touched
// even on a Windows machine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scoped_handles.h"
#include "settings_key.h"

namespace {

constexpr wchar_t kSettingsKey[] = L"Software\\Quorvane Inc\\ZELK";
const std::vector<std::wstring> kListed = {L"MAINWINDOW",   L"FOLDERWATCH",    L"QUEUEDLIST",        L"APPSTATUS",
                                          L"LASTSUBFILES", L"LASTWATCHFILES", L"PREFERENCES_OUTPUT"};

class SettingsKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratchName_ = L"Software\\Orvanto uninstall tests " + std::to_wstring(GetCurrentProcessId());
    HKEY scratch = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, scratchName_.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &scratch, nullptr),
              ERROR_SUCCESS);
    scratch_.reset(scratch);
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, scratch_.get()), ERROR_SUCCESS);
  }

  void TearDown() override {
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    scratch_.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, scratchName_.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, scratchName_.c_str());
  }

  // Creates a key below the (mapped) current user's root.
  static void Create(const std::wstring& path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  static bool KeyExists(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }

  static std::wstring Settings(const std::wstring& subkey) { return std::wstring(kSettingsKey) + L"\\" + subkey; }

  std::wstring scratchName_;
  UniqueHkey scratch_;
};

TEST_F(SettingsKeyTest, AMissingSettingsKeyChangesNothing) {
  Create(L"Software\\Quorvane Inc\\Other");

  RemoveSettingsSubkeys();

  EXPECT_TRUE(KeyExists(L"Software\\Quorvane Inc\\Other"));
  EXPECT_FALSE(KeyExists(kSettingsKey));
}

TEST_F(SettingsKeyTest, DeletesTheListedSubkeysAndKeepsEverythingElse) {
  for (const wchar_t* name : {L"MAINWINDOW", L"APPSTATUS", L"PREFERENCES_OUTPUT", L"LICENSE"}) {
    Create(Settings(name));
  }
  Create(Settings(L"QUEUEDLIST\\Pending"));  // a listed subkey with one of its own
  {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    const wchar_t value[] = L"C:\\data";
    RegSetValueExW(key, L"DataFolder", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof value);
    RegCloseKey(key);
  }

  RemoveSettingsSubkeys();
  RemoveSettingsSubkeys();  // the second application's pass finds nothing more to delete

  for (const std::wstring& name : kListed) {
    const bool staysWhole = name == L"QUEUEDLIST";
    EXPECT_EQ(KeyExists(Settings(name)), staysWhole) << std::string(name.begin(), name.end());
  }
  EXPECT_TRUE(KeyExists(Settings(L"QUEUEDLIST\\Pending")));
  EXPECT_TRUE(KeyExists(Settings(L"LICENSE")));
  wchar_t value[64] = {};
  DWORD size = sizeof value;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"DataFolder", RRF_RT_REG_SZ, nullptr, value, &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(value, L"C:\\data");
}

}  // namespace
