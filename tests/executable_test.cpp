// The shipped executable as Windows' loader sees it: its manifest and version resource.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "version.h"

namespace {

std::wstring UninstallerPath() {
  const std::wstring tests = ExecutableFolder();
  return tests.substr(0, tests.find_last_of(L'\\')) + L"\\orvanto-uninstall.exe";
}

TEST(Executable, EmbedsOneAsInvokerManifest) {
  HMODULE image = LoadLibraryExW(UninstallerPath().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr) << "error " << GetLastError();
  HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(resource, nullptr);
  const char* bytes = static_cast<const char*>(LockResource(LoadResource(image, resource)));
  const std::string manifest(bytes, SizeofResource(image, resource));
  EXPECT_NE(manifest.find(R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)"), std::string::npos)
      << manifest;
  EXPECT_EQ(FindResourceW(image, MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(24)), nullptr);
  FreeLibrary(image);
}

TEST(Executable, NamesTheProductAndVersion) {
  const std::wstring path = UninstallerPath();
  DWORD ignored = 0;
  std::vector<BYTE> info(GetFileVersionInfoSizeW(path.c_str(), &ignored));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
  auto text = [&](const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    return VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) ? std::wstring(value)
                                                                                                 : std::wstring();
  };
  EXPECT_EQ(text(L"ProductName"), L"Orvanto Server");
  EXPECT_FALSE(text(L"FileDescription").empty());
  const std::string version = ORVANTO_VERSION_STRING;
  EXPECT_EQ(text(L"ProductVersion"), std::wstring(version.begin(), version.end()));
  EXPECT_EQ(text(L"FileVersion"), std::wstring(version.begin(), version.end()));
}

}  // namespace
