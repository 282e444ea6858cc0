#include "test_support.h"

#include <algorithm>
#include <cstdlib>
#include <cwctype>

namespace {

// Wine's own additions to kernel32; only called under Wine.
template <typename Function>
Function WineFunction(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

std::wstring Wide(const char* text) {
  if (text == nullptr) return L"";
  std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), static_cast<int>(wide.size()));
  wide.pop_back();
  return wide;
}

std::wstring UnixPath(const std::wstring& path) {
  char* unixPath = WineFunction<char*(CDECL*)(const wchar_t*)>("wine_get_unix_file_name")(Extended(path).c_str());
  std::wstring wide = Wide(unixPath);
  HeapFree(GetProcessHeap(), 0, unixPath);
  return wide;
}

std::wstring Join(std::wstring folder, const std::wstring& name) {
  folder += L'\\';
  folder += name;
  return folder;
}

std::wstring Quoted(const std::wstring& text) { return L" \"" + text + L"\""; }

// Unix programs, reached through Wine's own "\\?\unix" namespace (the prefix has no Z:).
const std::wstring kUnixBin = L"\\\\?\\unix\\bin\\";

// Runs `commandLine` and waits, up to ten seconds, for `done`: Wine does not follow a Unix
// child to its end.
template <typename Condition>
bool RunCommand(std::wstring commandLine, Condition done) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  for (int waited = 0; waited < 10000 && !done(); waited += 5) Sleep(5);
  return done();
}

void ListInto(const std::wstring& root, const std::wstring& relative, bool details, std::vector<std::wstring>& out) {
  WIN32_FIND_DATAW entry;
  UniqueFindHandle listing(FindFirstFileW(Extended(root + relative + L"\\*").c_str(), &entry));
  for (bool more = static_cast<bool>(listing); more; more = FindNextFileW(listing.get(), &entry) != FALSE) {
    const std::wstring name = entry.cFileName;
    const std::wstring child = Join(relative, name);
    const DWORD attributes = entry.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL};
    if (name == L"." || name == L"..") continue;
    std::wstring line = child.substr(1);
    if (details) line += L" [" + std::to_wstring(attributes) + L"] ";
    UniqueFileHandle file(details && !(attributes & FILE_ATTRIBUTE_DIRECTORY)
                              ? CreateFileW(Extended(root + child).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr)
                              : INVALID_HANDLE_VALUE);
    char buffer[4096];
    DWORD read = 0;
    while (file && ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
      line.append(buffer, buffer + read);
    out.push_back(line);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      ListInto(root, child, details, out);
    }
  }
}

// Wine's RemoveDirectoryW acts on a Unix link's target; rm, without -r, removes the link.
void RemoveFolderLink(const std::wstring& link) {
  if (!RunningOnWine()) RemoveDirectoryW(Extended(link).c_str());
  if (RunningOnWine()) RunCommand(kUnixBin + L"rm -f --" + Quoted(UnixPath(link)), [&] { return !Exists(link); });
}

}  // namespace

ScratchFolder::ScratchFolder() {
  // Process ids are soon reused (under Wine especially), so the name carries a clock too.
  static unsigned counter = 0;
  wchar_t temp[MAX_PATH + 1];
  path.assign(temp, GetTempPathW(MAX_PATH + 1, temp));
  path += L"orvanto-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()) + L"-" +
          std::to_wstring(++counter);
  MakeFolder(path);
}

ScratchFolder::~ScratchFolder() { RemoveScratchTree(path); }

std::wstring Extended(const std::wstring& path) { return path.rfind(L"\\\\?\\", 0) == 0 ? path : L"\\\\?\\" + path; }

bool Exists(const std::wstring& path) { return GetFileAttributesW(Extended(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

bool MakeFolder(const std::wstring& path) { return CreateDirectoryW(Extended(path).c_str(), nullptr) != FALSE; }

bool MakeFile(const std::wstring& path, const std::string& content, DWORD attributes) {
  UniqueFileHandle file(
      CreateFileW(Extended(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
}

std::vector<std::wstring> ListTree(const std::wstring& root, bool details) {
  std::vector<std::wstring> entries;
  ListInto(root, L"", details, entries);
  std::sort(entries.begin(), entries.end());
  return entries;
}

void RemoveScratchTree(const std::wstring& root) {
  WIN32_FIND_DATAW entry;
  UniqueFindHandle listing(FindFirstFileW((Extended(root) + L"\\*").c_str(), &entry));
  for (bool more = static_cast<bool>(listing); more; more = FindNextFileW(listing.get(), &entry) != FALSE) {
    const std::wstring name = entry.cFileName;
    const std::wstring child = Join(root, name);
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      RemoveFolderLink(child);
    } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (name != L"." && name != L"..") RemoveScratchTree(child);
    } else {
      SetFileAttributesW(Extended(child).c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(Extended(child).c_str());
    }
  }
  listing.reset();
  SetFileAttributesW(Extended(root).c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryW(Extended(root).c_str());
}

std::wstring BuiltProgram(const std::wstring& name) {
  const char* folder = std::getenv("ORVANTO_PROGRAMS");
  if (folder == nullptr) return name;
  if (!RunningOnWine()) return Wide(folder) + L"\\" + name;
  // The build folder is on no drive of the prefix: Wine names it "\\?\unix\...".
  wchar_t* dosPath = WineFunction<wchar_t*(CDECL*)(const char*)>("wine_get_dos_file_name")(folder);
  std::wstring path = dosPath != nullptr ? dosPath : L"";
  HeapFree(GetProcessHeap(), 0, dosPath);
  return path + L"\\" + name;
}

bool RunningOnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

std::string MakeFolderLink(const std::wstring& link, const std::wstring& target) {
  // Wine 8 makes neither junctions nor symbolic links (CreateSymbolicLinkW answers TRUE
  // and does nothing), but it runs Unix programs: the real ln makes the link in place.
  // Wine shows a Unix link to a folder as a directory with the reparse-point bit.
  const std::wstring command = RunningOnWine()
                                   ? kUnixBin + L"ln -s --" + Quoted(UnixPath(target)) + Quoted(UnixPath(link))
                                   : L"cmd.exe /c mklink /j" + Quoted(link) + Quoted(target);
  const bool made = RunCommand(command, [&] {
    const DWORD attributes = GetFileAttributesW(Extended(link).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  });
  return made ? "" : "no link could be made here";
}

ScratchDrive::ScratchDrive(const std::wstring& folder) {
  for (wchar_t letter = L'M'; letter <= L'Y' && root.empty(); ++letter) {
    const std::wstring drive = {letter, L':'};
    if (Exists(drive + L"\\")) continue;
    if (!RunningOnWine()) {
      if (DefineDosDeviceW(0, drive.c_str(), folder.c_str())) root = drive + L"\\";
      continue;
    }
    // Wine keeps its drives as links in the prefix's dosdevices folder, beside drive_c.
    unixLink = UnixPath(L"C:\\") + L"../dosdevices/" + static_cast<wchar_t>(std::towlower(letter)) + L":";
    if (RunCommand(kUnixBin + L"ln -s --" + Quoted(UnixPath(folder)) + Quoted(unixLink),
                   [&] { return Exists(drive + L"\\"); })) {
      root = drive + L"\\";
    }
  }
  if (root.empty()) why = "no drive letter could be mapped to a scratch folder";
}

ScratchDrive::~ScratchDrive() {
  if (root.empty()) return;
  if (!RunningOnWine()) DefineDosDeviceW(DDD_REMOVE_DEFINITION, root.substr(0, 2).c_str(), nullptr);
  if (RunningOnWine()) RunCommand(kUnixBin + L"rm -f --" + Quoted(unixLink), [&] { return !Exists(root); });
}

unsigned long EnvironmentNumber(const char* name, unsigned long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoul(text, nullptr, 10) : fallback;
}
