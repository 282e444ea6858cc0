// The shipped executable as Windows' loader sees it: its embedded manifest.
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

TEST(Executable, EmbedsOneManifestAskingNoElevationAndDrawingSharply) {
  HMODULE image = LoadLibraryExW(BuiltProgram(L"orvanto-uninstall.exe").c_str(), nullptr,
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

}  // namespace
