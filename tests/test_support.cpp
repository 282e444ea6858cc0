#include "test_support.h"

#include <winioctl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

std::wstring TempFolder() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  std::wstring path(buffer, length);
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

void ListInto(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>& out) {
  WIN32_FIND_DATAW entry;
  const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
  UniqueFindHandle listing(FindFirstFileW((folder + L"\\*").c_str(), &entry));
  if (!listing) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
    out.push_back(child);
    const DWORD attributes = entry.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      ListInto(root, child, out);
    }
  } while (FindNextFileW(listing.get(), &entry));
}

// A junction at `link` (an empty folder) to `target`, as Windows documents the mount
// point reparse buffer. Needs no privilege on Windows.
bool MakeJunction(const std::wstring& link, const std::wstring& target) {
  if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
  UniqueFileHandle handle(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle) return false;
  const std::wstring substitute = L"\\??\\" + target;
  const USHORT substituteBytes = static_cast<USHORT>(substitute.size() * sizeof(wchar_t));
  const USHORT printBytes = static_cast<USHORT>(target.size() * sizeof(wchar_t));
  // Tag, data length, reserved; then the four offsets and lengths; then both names,
  // each followed by a terminator.
  const USHORT dataBytes = static_cast<USHORT>(8 + substituteBytes + 2 + printBytes + 2);
  std::vector<BYTE> buffer(8 + dataBytes, 0);
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  const USHORT header[6] = {dataBytes, 0, 0, substituteBytes, static_cast<USHORT>(substituteBytes + 2), printBytes};
  std::memcpy(buffer.data(), &tag, 4);
  std::memcpy(buffer.data() + 4, header, sizeof header);
  std::memcpy(buffer.data() + 16, substitute.c_str(), substituteBytes);
  std::memcpy(buffer.data() + 16 + substituteBytes + 2, target.c_str(), printBytes);
  DWORD returned = 0;
  const bool made = DeviceIoControl(handle.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                                    static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
  if (!made) RemoveDirectoryW(link.c_str());
  return made;
}

std::string SentinelContent(unsigned seed, int index) {
  return "sentinel " + std::to_string(seed) + "/" + std::to_string(index) + std::string(64 + index * 7, 'x');
}

// Starts a Unix program from /bin under Wine with the Unix names of `paths` as its last
// arguments. Wine does not follow a Unix child to its end: callers wait for its effect.
bool RunUnixCommand(const std::wstring& command, const std::vector<std::wstring>& paths) {
  using UnixFileName = char*(CDECL*)(const wchar_t*);
  const auto unixFileName = reinterpret_cast<UnixFileName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unixFileName == nullptr || !Exists(L"Z:\\bin")) return false;
  std::wstring commandLine = L"Z:\\bin\\" + command;
  for (const std::wstring& path : paths) {
    char* unixPath = unixFileName(path.c_str());
    if (unixPath == nullptr) return false;
    std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, unixPath, -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, unixPath, -1, wide.data(), static_cast<int>(wide.size()));
    wide.pop_back();
    HeapFree(GetProcessHeap(), 0, unixPath);
    commandLine += L" \"" + wide + L"\"";
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

// Waits up to ten seconds for `done`, since Wine's Unix children cannot be waited for.
template <typename Condition>
bool WaitUntil(Condition done) {
  for (int waited = 0; waited < 10000; waited += 5) {
    if (done()) return true;
    Sleep(5);
  }
  return done();
}

const wchar_t* const kSentinelFiles[] = {L"keep.txt", L"inner\\keep too.dat", L"inner\\deeper\\.hidden"};

}  // namespace

ScratchFolder::ScratchFolder() {
  // Process ids are soon reused (under Wine especially), so the name carries a clock too.
  static unsigned counter = 0;
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  path = TempFolder() + L"\\orvanto-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(now.QuadPart) + L"-" + std::to_wstring(++counter);
  CreateDirectoryW(path.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() { RemoveScratchTree(path); }

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool MakeFolder(const std::wstring& path) { return CreateDirectoryW(path.c_str(), nullptr) != FALSE; }

bool MakeFile(const std::wstring& path, const std::string& content, DWORD attributes) {
  {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    if (!WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr)) return false;
  }
  return attributes == FILE_ATTRIBUTE_NORMAL || SetFileAttributesW(path.c_str(), attributes);
}

std::string ReadContent(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string content;
  if (!file) return content;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) content.append(buffer, read);
  return content;
}

std::vector<std::wstring> ListTree(const std::wstring& root) {
  std::vector<std::wstring> entries;
  ListInto(root, L"", entries);
  std::sort(entries.begin(), entries.end());
  return entries;
}

void RemoveScratchTree(const std::wstring& root) {
  WIN32_FIND_DATAW entry;
  UniqueFindHandle listing(FindFirstFileW((root + L"\\*").c_str(), &entry));
  if (listing) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = root + L"\\" + name;
      const DWORD attributes = entry.dwFileAttributes;
      if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        RemoveFolderLink(child);
      } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveScratchTree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(listing.get(), &entry));
  }
  listing.reset();
  SetFileAttributesW(root.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryW(root.c_str());
}

std::wstring ExecutableFolder() {
  wchar_t buffer[32768];
  const DWORD length = GetModuleFileNameW(nullptr, buffer, 32768);
  std::wstring path(buffer, length);
  return path.substr(0, path.find_last_of(L'\\'));
}

HeldFiles::HeldFiles(const std::vector<std::wstring>& files) {
  std::wstring commandLine = L"\"" + ExecutableFolder() + L"\\hold-files.exe\"";
  for (const std::wstring& file : files) commandLine += L" \"" + file + L"\"";

  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE childInput = nullptr, ourInput = nullptr, ourOutput = nullptr, childOutput = nullptr;
  if (!CreatePipe(&childInput, &ourInput, &inheritable, 0)) return;
  input.reset(ourInput);
  const UniqueHandle childInputOwner(childInput);
  if (!CreatePipe(&ourOutput, &childOutput, &inheritable, 0)) return;
  const UniqueHandle output(ourOutput);
  UniqueHandle childOutputOwner(childOutput);
  SetHandleInformation(ourInput, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(ourOutput, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childInput;
  startup.hStdOutput = childOutput;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) return;
  process.reset(info.hProcess);
  CloseHandle(info.hThread);
  childOutputOwner.reset();  // our copy of the child's end must go for EOF to arrive
  char buffer[16] = {};
  DWORD read = 0;
  holding = ReadFile(output.get(), buffer, sizeof buffer - 1, &read, nullptr) && std::strncmp(buffer, "holding", 7) == 0;
}

HeldFiles::~HeldFiles() {
  input.reset();
  if (process) WaitForSingleObject(process.get(), 30000);
}

unsigned long EnvironmentNumber(const char* name, unsigned long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoul(text, nullptr, 10) : fallback;
}

bool RunningOnWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

void RemoveFolderLink(const std::wstring& link) {
  if (RemoveDirectoryW(link.c_str()) || !RunningOnWine()) return;
  // Wine's RemoveDirectoryW acts on a Unix link's target; rm, without -r, removes the
  // link alone.
  RunUnixCommand(L"rm -f --", {link});
  WaitUntil([&] { return !Exists(link); });
}

bool MakeFolderLink(const std::wstring& linkPath, const std::wstring& scratch, FolderLink& link, std::string& why) {
  static unsigned made = 0;
  link.linkPath = linkPath;
  link.targetPath = scratch + L"\\outside-" + std::to_wstring(++made);
  if (!MakeFolder(link.targetPath)) {
    why = "could not make the link's target folder";
    return false;
  }
  if (!RunningOnWine()) {
    if (MakeJunction(linkPath, link.targetPath)) return true;
    why = "could not make a junction (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  // Wine 8 makes neither junctions nor symbolic links (and its MoveFileW moves a Unix
  // link's target rather than the link), but it runs Unix programs: the link is made in
  // place by the real ln.
  if (!RunUnixCommand(L"ln -s", {link.targetPath, linkPath})) {
    why = "Wine cannot make links itself, and the Unix ln is out of reach (no wine_get_unix_file_name or Z:)";
    return false;
  }
  // Wine shows a Unix link to a folder as a directory with the reparse-point bit.
  const bool linked = WaitUntil([&] {
    const DWORD attributes = GetFileAttributesW(linkPath.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  });
  if (linked) return true;
  why = "ln did not make the link";
  return false;
}

std::uint64_t FillSentinel(const std::wstring& folder, unsigned seed) {
  MakeFolder(folder + L"\\inner");
  MakeFolder(folder + L"\\inner\\deeper");
  std::uint64_t bytes = 0;
  int index = 0;
  for (const wchar_t* name : kSentinelFiles) {
    const std::string content = SentinelContent(seed, index++);
    MakeFile(folder + L"\\" + name, content);
    bytes += content.size();
  }
  return bytes;
}

bool SentinelIntact(const std::wstring& folder, unsigned seed) {
  const std::vector<std::wstring> expected = {L"inner", L"inner\\deeper", L"inner\\deeper\\.hidden",
                                              L"inner\\keep too.dat", L"keep.txt"};
  if (ListTree(folder) != expected) return false;
  int index = 0;
  for (const wchar_t* name : kSentinelFiles) {
    if (ReadContent(folder + L"\\" + name) != SentinelContent(seed, index++)) return false;
  }
  return true;
}
