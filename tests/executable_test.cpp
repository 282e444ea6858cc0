// The shipped executable as Windows' loader sees it: its manifest and version resource.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "version.h"

namespace {

std::wstring UninstallerPath() { return BuiltProgram(L"orvanto-uninstall.exe"); }

TEST(Executable, EmbedsOneManifestAskingNoElevationAndDrawingSharply) {
  HMODULE image = LoadLibraryExW(UninstallerPath().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr) << "error " << GetLastError();
  HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(resource, nullptr);
  const std::string manifest(static_cast<const char*>(LockResource(LoadResource(image, resource))),
                             SizeofResource(image, resource));
  for (const char* entry : {R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)",
                            R"(WindowsSettings">true</dpiAware>)", R"(WindowsSettings">PerMonitorV2</dpiAwareness>)",
                            R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")"}) {
    EXPECT_NE(manifest.find(entry), std::string::npos) << entry << " not in\n" << manifest;
  }
  EXPECT_EQ(FindResourceW(image, MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(24)), nullptr);
  FreeLibrary(image);
}

TEST(Executable, NamesTheProductAndItsVersion) {
  const std::wstring path = UninstallerPath();
  DWORD ignored = 0;
  std::vector<BYTE> info(GetFileVersionInfoSizeW(path.c_str(), &ignored));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
  auto text = [&](const std::wstring& name) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring query = L"\\StringFileInfo\\040904B0\\" + name;
    return VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) ? std::wstring(value)
                                                                                                 : std::wstring();
  };
  const std::string version = ORVANTO_VERSION_STRING;
  EXPECT_EQ(text(L"ProductName"), L"Orvanto Server");
  EXPECT_EQ(text(L"ProductVersion"), std::wstring(version.begin(), version.end()));
  EXPECT_EQ(text(L"FileVersion"), std::wstring(version.begin(), version.end()));
}

}  // namespace
