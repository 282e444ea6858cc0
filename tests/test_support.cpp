#include "test_support.h"

#include <winioctl.h>
#include <winternl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

std::wstring TempFolder() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  return std::wstring(buffer, length > 0 ? length - 1 : 0);  // without the final backslash
}

void ListInto(const std::wstring& root, const std::wstring& relative, bool details, std::vector<std::wstring>& out) {
  WIN32_FIND_DATAW entry;
  const std::wstring folder = Extended(relative.empty() ? root : root + L"\\" + relative);
  UniqueFindHandle listing(FindFirstFileW((folder + L"\\*").c_str(), &entry));
  if (!listing) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
    const DWORD attributes = entry.dwFileAttributes;
    const bool isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    std::wstring line = child;
    if (details) {
      line += L" [" + std::to_wstring(attributes & ~DWORD{FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL}) + L"]";
      if (!isFolder) {
        UniqueFileHandle file(CreateFileW(Extended(root + L"\\" + child).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
        char buffer[4096];
        DWORD read = 0;
        while (file && ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
          line.append(buffer, buffer + read);
        }
      }
    }
    out.push_back(line);
    if (isFolder && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) ListInto(root, child, details, out);
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
  const auto substituteBytes = static_cast<USHORT>(substitute.size() * sizeof(wchar_t));
  const auto printBytes = static_cast<USHORT>(target.size() * sizeof(wchar_t));
  // Tag, data length, reserved; the four offsets and lengths; both names, each followed
  // by a terminator.
  const auto dataBytes = static_cast<USHORT>(8 + substituteBytes + 2 + printBytes + 2);
  std::vector<BYTE> buffer(8 + dataBytes, 0);
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  const USHORT header[6] = {dataBytes, 0, 0, substituteBytes, static_cast<USHORT>(substituteBytes + 2), printBytes};
  std::memcpy(buffer.data(), &tag, 4);
  std::memcpy(buffer.data() + 4, header, sizeof header);
  std::memcpy(buffer.data() + 16, substitute.c_str(), substituteBytes);
  std::memcpy(buffer.data() + 16 + substituteBytes + 2, target.c_str(), printBytes);
  DWORD returned = 0;
  return DeviceIoControl(handle.get(), FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                         nullptr, 0, &returned, nullptr) != FALSE;
}

// The Unix name of a Windows path, under Wine.
std::wstring UnixPath(const std::wstring& path) {
  using UnixFileName = char*(CDECL*)(const wchar_t*);
  const auto unixFileName = reinterpret_cast<UnixFileName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* unixPath = unixFileName != nullptr ? unixFileName(Extended(path).c_str()) : nullptr;
  if (unixPath == nullptr) return L"";
  std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, unixPath, -1, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, unixPath, -1, wide.data(), static_cast<int>(wide.size()));
  wide.pop_back();
  HeapFree(GetProcessHeap(), 0, unixPath);
  return wide;
}

// Runs a program from the machine's /bin under Wine, reached through Wine's own "\\?\unix"
// namespace (the prefix has no Z: drive), with the Unix names of `paths` as its last
// arguments; then waits, up to ten seconds, for `done`: Wine does not follow a Unix child
// to its end.
template <typename Condition>
bool RunUnixCommand(const std::wstring& command, const std::vector<std::wstring>& paths, Condition done) {
  std::wstring commandLine = L"\\\\?\\unix\\bin\\" + command;
  for (const std::wstring& path : paths) commandLine += L" \"" + path + L"\"";
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

void RemoveFolderLink(const std::wstring& link) {
  // Wine's RemoveDirectoryW acts on a Unix link's target; rm, without -r, removes the link.
  if (RunningOnWine()) {
    RunUnixCommand(L"rm -f --", {UnixPath(link)}, [&] { return !Exists(link); });
  } else {
    RemoveDirectoryW(Extended(link).c_str());
  }
}

}  // namespace

ScratchFolder::ScratchFolder() {
  // Process ids are soon reused (under Wine especially), so the name carries a clock too.
  static unsigned counter = 0;
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  path = TempFolder() + L"\\orvanto-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(now.QuadPart) + L"-" + std::to_wstring(++counter);
  MakeFolder(path);
}

ScratchFolder::~ScratchFolder() { RemoveScratchTree(path); }

std::wstring Extended(const std::wstring& path) { return path.rfind(L"\\\\?\\", 0) == 0 ? path : L"\\\\?\\" + path; }

bool Exists(const std::wstring& path) { return GetFileAttributesW(Extended(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

bool MakeFolder(const std::wstring& path) { return CreateDirectoryW(Extended(path).c_str(), nullptr) != FALSE; }

bool MakeFile(const std::wstring& path, const std::string& content, DWORD attributes) {
  {
    UniqueFileHandle file(
        CreateFileW(Extended(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr)) {
      return false;
    }
  }
  return attributes == FILE_ATTRIBUTE_NORMAL || SetFileAttributesW(Extended(path).c_str(), attributes);
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
  while (listing) {
    const std::wstring name = entry.cFileName;
    const std::wstring child = root + L"\\" + name;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      RemoveFolderLink(child);
    } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (name != L"." && name != L"..") RemoveScratchTree(child);
    } else {
      SetFileAttributesW(Extended(child).c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(Extended(child).c_str());
    }
    if (!FindNextFileW(listing.get(), &entry)) listing.reset();
  }
  SetFileAttributesW(Extended(root).c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryW(Extended(root).c_str());
}

std::wstring BuiltProgram(const std::wstring& name) {
  const char* path = std::getenv("ORVANTO_PROGRAMS");
  if (path == nullptr) return name;
  using DosFileName = wchar_t*(CDECL*)(const char*);
  const auto dosFileName = reinterpret_cast<DosFileName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (dosFileName == nullptr) {
    std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path, -1, wide.data(), static_cast<int>(wide.size()));
    wide.pop_back();
    return wide + L"\\" + name;
  }
  // The build folder is on no drive of the prefix: Wine names it "\\?\unix\...".
  wchar_t* dosPath = dosFileName(path);
  const std::wstring folder = dosPath != nullptr ? dosPath : L"";
  HeapFree(GetProcessHeap(), 0, dosPath);
  return folder + L"\\" + name;
}

bool RunningOnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

size_t HandleCount() {
  // SystemExtendedHandleInformation (64) lists every open handle of every process. It is
  // asked for rather than GetProcessHandleCount, which Wine answers with 0.
  struct HandleEntry {
    void* object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG access;
    USHORT backTrace;
    USHORT typeIndex;
    ULONG attributes;
    ULONG reserved;
  };
  struct HandleList {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
  };
  std::vector<ULONG_PTR> buffer(1 << 16);
  ULONG needed = 0;
  for (;;) {
    const ULONG bytes = static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR));
    const NTSTATUS status = NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(64), buffer.data(), bytes, &needed);
    if (status == 0) break;
    if (status != static_cast<NTSTATUS>(0xC0000004L)) return 0;  // anything but "buffer too small"
    buffer.resize(buffer.size() * 2);
  }
  const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
  const ULONG_PTR self = GetCurrentProcessId();
  return static_cast<size_t>(std::count_if(list->entries, list->entries + list->count,
                                           [&](const HandleEntry& entry) { return entry.processId == self; }));
}

HeldFiles::HeldFiles(const std::vector<std::wstring>& files) {
  std::wstring commandLine = L"\"" + BuiltProgram(L"hold-files.exe") + L"\"";
  for (const std::wstring& file : files) commandLine += L" \"" + Extended(file) + L"\"";

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

std::string MakeFolderLink(const std::wstring& link, const std::wstring& target) {
  if (!RunningOnWine()) {
    return MakeJunction(Extended(link), target) ? "" : "no junction made (error " + std::to_string(GetLastError()) + ")";
  }
  // Wine 8 makes neither junctions nor symbolic links (CreateSymbolicLinkW answers TRUE
  // and does nothing), but it runs Unix programs: the real ln makes the link in place.
  // Wine shows a Unix link to a folder as a directory with the reparse-point bit.
  const bool made = RunUnixCommand(L"ln -s --", {UnixPath(target), UnixPath(link)}, [&] {
    return (GetFileAttributesW(Extended(link).c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && Exists(link);
  });
  return made ? "" : "ln did not make a link under Wine";
}

ScratchDrive::ScratchDrive(const std::wstring& folder) {
  for (wchar_t letter = L'M'; letter <= L'Y' && root.empty(); ++letter) {
    const std::wstring drive = std::wstring(1, letter) + L":";
    if (Exists(drive + L"\\")) continue;
    if (!RunningOnWine()) {
      if (DefineDosDeviceW(0, drive.c_str(), folder.c_str())) root = drive + L"\\";
      continue;
    }
    // Wine keeps its drives as links in the prefix's dosdevices folder, beside drive_c.
    unixLink = UnixPath(L"C:\\") + L"../dosdevices/" + std::wstring(1, static_cast<wchar_t>(letter - L'A' + L'a')) + L":";
    if (RunUnixCommand(L"ln -s --", {UnixPath(folder), unixLink}, [&] { return Exists(drive + L"\\"); })) {
      root = drive + L"\\";
    }
  }
  if (root.empty()) why = "no drive letter could be mapped to a scratch folder";
}

ScratchDrive::~ScratchDrive() {
  if (root.empty()) return;
  if (RunningOnWine()) {
    RunUnixCommand(L"rm -f --", {unixLink}, [&] { return !Exists(root); });
  } else {
    DefineDosDeviceW(DDD_REMOVE_DEFINITION, root.substr(0, 2).c_str(), nullptr);
  }
}

unsigned long EnvironmentNumber(const char* name, unsigned long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoul(text, nullptr, 10) : fallback;
}
