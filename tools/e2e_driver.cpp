// The end-to-end scenarios of scenarios.txt (beside this program), on Windows and under
// Wine alike: lays a machine out as a row says, in the real program files folders, on the
// desktops and in HKEY_CURRENT_USER; runs the real uninstaller beside it while
// press-ok.exe reads its box and presses OK; checks the box, the exit code, what is gone,
// and that nothing else it laid out, nor what the folders it laid out in hold, changed;
// and removes what it laid out.
//
//   e2e-driver.exe --list           the scenarios' names, one a line
//   e2e-driver.exe [--show] NAME    runs one; exits 0 when every check passed, 1 when
//                                   any failed, 77 when it was skipped, saying why
//
// --show (scripts/demo) also shows what it laid out, what the uninstaller said and what it
// left. With PRESS_OK_LEAVE_OPEN=1, press-ok.exe only reads the box: someone closes it.
//
// It deletes from the real Program Files, so it runs only on a machine declared throwaway
// (ORVANTO_THROWAWAY_MACHINE=1, or as WDAGUtilityAccount, the account of Windows Sandbox),
// and lays nothing out over what is there already.
#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "test_support.h"

int wmain(int argc, wchar_t** argv);  // the Unicode entry point, which no header declares

namespace {

using Lines = std::vector<std::wstring>;
const std::wstring kSettings = L"Software\\Quorvane Inc";
const Lines kSubkeys = {L"MAINWINDOW",   L"FOLDERWATCH",    L"QUEUEDLIST",        L"APPSTATUS",
                        L"LASTSUBFILES", L"LASTWATCHFILES", L"PREFERENCES_OUTPUT"};

std::map<std::wstring, std::wstring> paths;  // the names rows use, and where they are
Lines bases;                                 // the folders the driver lays out in
Lines laid;                                  // what it laid out there, to remove afterwards
UniqueFileHandle held;                       // a file held open as another program would
OVERLAPPED lock = {};                        // an opportunistic lock on it, if any
std::thread swap;                            // what swaps a folder for a junction once it breaks
std::wstring skipped;                        // why the scenario cannot run here, if it cannot
int failures = 0;
bool show = false;

bool EnvironmentSaysYes(const wchar_t* name) {
  wchar_t value[2] = {};
  return GetEnvironmentVariableW(name, value, 2) == 1 && value[0] == L'1';
}

std::wstring Folder(int id) {
  wchar_t path[MAX_PATH] = {};
  return SHGetFolderPathW(nullptr, id, nullptr, SHGFP_TYPE_CURRENT, path) < 0 ? L"" : path;
}

void FindPaths() {
  const std::wstring system = Folder(CSIDL_WINDOWS).substr(0, 3);
  std::wstring other;  // a fixed drive of this machine's other than the system's
  wchar_t drives[128] = {};
  GetLogicalDriveStringsW(127, drives);
  for (const wchar_t* drive = drives; *drive != L'\0'; drive += wcslen(drive) + 1) {
    if (GetDriveTypeW(drive) == DRIVE_FIXED && _wcsicmp(drive, system.c_str()) != 0 && other.empty()) other = drive;
  }
  paths = {{L"PROGRAM_FILES", Folder(CSIDL_PROGRAM_FILES)},
           {L"PROGRAM_FILES_X86", Folder(CSIDL_PROGRAM_FILESX86)},
           {L"PUBLIC_DESKTOP", Folder(CSIDL_COMMON_DESKTOPDIRECTORY)},
           {L"USER_DESKTOP", Folder(CSIDL_DESKTOPDIRECTORY)},
           {L"E2E", system + L"orvanto-test-e2e"},
           {L"OTHER_DRIVE", other.empty() ? L"" : other + L"orvanto-test-e2e"},
           {L"SHARE", L"\\\\localhost\\" + system.substr(0, 1) + L"$\\orvanto-test-e2e"}};
  paths.insert({{L"FIRST_APP", paths[L"PROGRAM_FILES"] + L"\\OrvantoServer"},
                {L"SECOND_APP", paths[L"PROGRAM_FILES_X86"] + L"\\ovt-server"},
                {L"SHORTCUT", paths[L"PUBLIC_DESKTOP"] + L"\\OrvantoServer.lnk"},
                {L"MOVED_APP", paths[L"E2E"] + L"\\Moved\\OrvantoServer"},
                {L"OUTSIDE", paths[L"E2E"] + L"\\outside"}});
  bases = {paths[L"PROGRAM_FILES"], paths[L"PROGRAM_FILES_X86"], paths[L"PUBLIC_DESKTOP"],
           paths[L"USER_DESKTOP"],  system.substr(0, 2),         other.substr(0, 2)};
}

// Marks the scenario as one that cannot run here, and why.
bool Skip(const std::wstring& why) {
  skipped = why;
  return false;
}

// Where a row's "NAME\more" is; empty, and the scenario skipped, where NAME is not here.
std::wstring PathOf(const std::wstring& named) {
  const std::wstring path = paths[named.substr(0, named.find(L'\\'))];
  if (path.empty()) skipped = L"no " + named.substr(0, named.find(L'\\')) + L" here";
  return path.empty() ? L"" : path + named.substr(std::min(named.find(L'\\'), named.size()));
}

// Takes what lies at `path`, in the folder the driver lays out in, for the scenario to lay
// out and remove: what is there already is not the driver's own.
bool Claim(const std::wstring& path) {
  std::wstring top;
  size_t longest = 0;
  for (const std::wstring& base : bases) {
    if (base.size() > longest && path.rfind(base + L'\\', 0) == 0) {
      longest = base.size();
      top = path.substr(0, path.find(L'\\', longest + 1));
    }
  }
  if (std::find(laid.begin(), laid.end(), top) != laid.end()) return true;
  if (top.empty() || Exists(top)) {
    std::printf("set-up: %ls is there already\n", top.c_str());
    return false;
  }
  laid.push_back(top);
  return true;
}

// Lays out a list of a layout line: files holding "x" and, for a path ending in "\",
// folders, with the folders above them; ":r" makes one read-only, ":h" hidden.
bool LayOut(const std::wstring& place, const std::wstring& list) {
  std::wistringstream entries(list);
  for (std::wstring entry; std::getline(entries, entry, L',');) {
    entry.erase(0, entry.find_first_not_of(L' '));
    const DWORD attributes = entry.find(L":r") != std::wstring::npos   ? FILE_ATTRIBUTE_READONLY
                             : entry.find(L":h") != std::wstring::npos ? FILE_ATTRIBUTE_HIDDEN
                                                                       : FILE_ATTRIBUTE_NORMAL;
    std::wstring path = Join(place, entry.substr(0, entry.find(L':')));
    if (place.empty()) path = PathOf(path);
    if (path.empty() || !Claim(path)) return false;
    for (size_t cut = 3; (cut = path.find(L'\\', cut + 1)) != std::wstring::npos;) MakeFolder(path.substr(0, cut));
    if (path.back() == L'\\'
            ? !SetFileAttributesW(ExtendedLengthPath(path.substr(0, path.size() - 1)).c_str(), attributes)
            : !MakeFile(path, "x", attributes)) {
      return false;
    }
  }
  return true;
}

// The settings key as both applications leave it: the seven subkeys the uninstaller
// deletes, a value of the key itself, another product's subkey and, nested, a subkey of one.
bool WriteSettings(bool nested) {
  auto set = [](const std::wstring& key, const wchar_t* name) {
    return RegSetKeyValueW(HKEY_CURRENT_USER, (kSettings + L"\\ZELK" + key).c_str(), name, REG_SZ, L"x", 4) == 0;
  };
  bool done =
      set(L"", L"Language") && set(L"\\LICENSE", L"Owner") && (!nested || set(L"\\LASTSUBFILES\\History", L"1"));
  for (const std::wstring& subkey : kSubkeys) done = done && set(L"\\" + subkey, L"Saved");
  return done;
}

// Holds `file` with a batch opportunistic lock; when the walk, about to delete it, breaks
// the lock, swaps `folder`, listed after it, for a junction to `target`, then lets go. A
// scanner that opens a file just written refuses the lock a moment: it is asked a few times.
bool SwapWhenReached(const std::wstring& file, const std::wstring& folder, const std::wstring& target) {
  static const UniqueHandle broken(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  lock.hEvent = broken.get();
  for (int tries = 0; tries < 20; ++tries, Sleep(100)) {
    held = Hold(file, GENERIC_READ, FILE_FLAG_OVERLAPPED, kShareAll);
    if (!DeviceIoControl(held.get(), FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0, nullptr, 0, nullptr, &lock) &&
        GetLastError() == ERROR_IO_PENDING) {
      swap = std::thread([folder, target] {
        if (WaitForSingleObject(lock.hEvent, 60000) == WAIT_OBJECT_0) {
          RemoveTestTree(folder);
          MakeJunction(folder, target);
        }
        held.reset();
      });
      return true;
    }
  }
  return false;
}

// For a Unix user without the rights: a folder closed to everyone, or the folders of a tree
// made read-only (not its files: Wine, as such a user, would report their deletion done, and
// their read-only bit cleared, when it was not).
bool CloseForUnixUser(const std::wstring& folder, bool toEveryone) {
  if (toEveryone) return RunUnixCommand(L"chmod 000 --" + Quoted(folder), [&] { return Listing(folder).empty(); });
  return RunUnixCommand(L"find" + Quoted(folder) + L" -type d -exec chmod a-w {} +", [&] {
    const Lines tree = ListTree(folder);  // done once every folder shows it: find goes on after the first
    return std::all_of(tree.begin(), tree.end(), [](const std::wstring& line) {
      const DWORD attributes = std::stoul(line.substr(line.rfind(L" [") + 2));
      return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    });
  });
}

// Makes the link a row asks for; a symbolic link the account may not make skips the scenario.
bool MakeLink(const std::wstring& what, const std::wstring& link, const std::wstring& target) {
  if (what == L"link") return MakeFolderLink(link, target);
  if (what == L"junction") return MakeJunction(link, target);
  if (MakeSymbolicLink(link, target, what == L"symlink" ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0)) return true;
  return GetLastError() == ERROR_PRIVILEGE_NOT_HELD ? Skip(L"this account may not make symbolic links") : false;
}

// Lays out one word of a row: a layout, at its place or at "@NAME", or "what:ARGUMENTS".
bool LayWord(const std::wstring& word, const std::map<std::wstring, Lines>& layouts) {
  const size_t at = word.find(L'@');
  if (layouts.count(word.substr(0, at)) != 0) {
    const Lines& layout = layouts.at(word.substr(0, at));
    return LayOut(
        at == std::wstring::npos ? (layout[1].empty() ? L"" : PathOf(layout[1])) : PathOf(word.substr(at + 1)),
        layout[2]);
  }
  if (word == L"settings" || word == L"nested-settings") return WriteSettings(word == L"nested-settings");
  const std::wstring what = word.substr(0, word.find(L':'));
  const std::wstring arguments = word.substr(std::min(word.find(L':') + 1, word.size()));
  const std::wstring from = PathOf(arguments.substr(0, arguments.find_first_of(L"=>")));
  const std::wstring to = PathOf(arguments.substr(std::min(arguments.rfind(L'=') + 1, arguments.size())));
  if (from.empty() || to.empty()) return false;
  const bool windowsOnly = what == L"junction" || what == L"symlink" || what == L"file-symlink" || what == L"swap";
  if (windowsOnly && RunningOnWine()) return Skip(L"Wine makes no " + what + L" (docs/testing.md)");
  if (what.rfind(L"unix-", 0) == 0 && !RunningOnWine()) return Skip(L"needs a Unix user without the rights");
  if (what == L"link" || what == L"junction" || what == L"symlink" || what == L"file-symlink") {
    return Claim(from) && MakeLink(what, from, to);
  }
  // Under Wine a link shows its target's read-only bit, which this would set.
  if (what == L"read-only") return (RunningOnWine() && IsLink(from)) || MakeReadOnly(from);
  if (what == L"hold") {  // in use by another program, which shares no deletion
    held = Hold(from, GENERIC_READ, 0, FILE_SHARE_READ);
    return static_cast<bool>(held);
  }
  if (what == L"swap") {
    const size_t folder = arguments.find(L'>') + 1;
    return SwapWhenReached(from, PathOf(arguments.substr(folder, arguments.rfind(L'=') - folder)), to);
  }
  if (what == L"unix-no-access" || what == L"unix-no-write") return CloseForUnixUser(from, what == L"unix-no-access");
  return Skip(L"no such word: " + word);
}

// The settings key and all below it, a line each, "\KEY" for a key and "\KEY = NAME" for
// a value, sorted.
Lines SettingsPicture(const std::wstring& key = L"") {
  Lines out;
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, (kSettings + key).c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return out;
  const UniqueHkey own(opened);
  wchar_t name[256];
  for (DWORD index = 0, size = 256; RegEnumValueW(opened, index, name, &size, nullptr, nullptr, nullptr, nullptr) == 0;
       ++index, size = 256) {
    out.push_back(key + L" = " + name);
  }
  for (DWORD index = 0, size = 256; RegEnumKeyExW(opened, index, name, &size, nullptr, nullptr, nullptr, nullptr) == 0;
       ++index, size = 256) {
    const Lines below = SettingsPicture(key + L"\\" + name);
    out.push_back(key + L"\\" + name);
    out.insert(out.end(), below.begin(), below.end());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The settings once the uninstaller has deleted its subkeys, each alone: one with subkeys
// of its own stays whole.
Lines WithoutSubkeys(Lines picture) {
  for (const std::wstring& subkey : kSubkeys) {
    const std::wstring key = L"\\ZELK\\" + subkey;
    auto below = [&](const wchar_t* after) {
      return [&, after](auto& line) { return line.rfind(key + after, 0) == 0; };
    };
    if (std::none_of(picture.begin(), picture.end(), below(L"\\"))) {
      picture.erase(std::remove(picture.begin(), picture.end(), key), picture.end());
      picture.erase(std::remove_if(picture.begin(), picture.end(), below(L" = ")), picture.end());
    }
  }
  return picture;
}

// What the folders the driver lays out in hold, and all it laid out, but what must be gone.
Lines Picture(const Lines& gone) {
  Lines out;
  for (const std::wstring& base : bases) {
    for (const WIN32_FIND_DATAW& entry : base.empty() ? std::vector<WIN32_FIND_DATAW>{} : Listing(base)) {
      out.push_back(Join(base, entry.cFileName) + L" [" + std::to_wstring(entry.dwFileAttributes) + L"]");
    }
  }
  for (const std::wstring& top : laid) {
    for (const std::wstring& entry : ListTree(top)) out.push_back(Join(top, entry));
  }
  const auto isGone = [&](const std::wstring& entry) {
    return std::any_of(gone.begin(), gone.end(), [&](const std::wstring& path) {
      return _wcsnicmp(entry.c_str(), path.c_str(), path.size()) == 0 &&
             (entry[path.size()] == L'\\' || entry.compare(path.size(), 2, L" [") == 0);
    });
  };
  out.erase(std::remove_if(out.begin(), out.end(), isGone), out.end());
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

void Check(const std::wstring& what, const Lines& expected, const Lines& found) {
  if (expected == found) return (void)std::printf("ok: %ls\n", what.c_str());
  ++failures;
  std::printf("FAILED: %ls\n    (- expected, + found)\n", what.c_str());
  Lines missing;
  Lines added;
  std::set_difference(expected.begin(), expected.end(), found.begin(), found.end(), std::back_inserter(missing));
  std::set_difference(found.begin(), found.end(), expected.begin(), expected.end(), std::back_inserter(added));
  for (const std::wstring& line : missing) std::printf("    -%ls\n", line.c_str());
  for (const std::wstring& line : added) std::printf("    +%ls\n", line.c_str());
}

// Starts `line` and waits at most `seconds` for it; says how it ended, and ends it if not.
std::wstring Run(std::wstring line, DWORD seconds, STARTUPINFOW startup = {}) {
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  // Under Wine 8, as a user without rights while the machine was busy, a start has once
  // failed with ERROR_INTERNAL_ERROR (the new process died starting up): asked again once.
  for (int tries = 0;
       !CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started);
       ++tries, Sleep(1000)) {
    if (tries > 0 || GetLastError() != ERROR_INTERNAL_ERROR)
      return L"not started (error " + std::to_wstring(GetLastError()) + L")";
  }
  const UniqueHandle process(started.hProcess);
  const UniqueHandle thread(started.hThread);
  DWORD code = 0;
  if (WaitForSingleObject(process.get(), seconds * 1000) == WAIT_OBJECT_0 && GetExitCodeProcess(process.get(), &code)) {
    return L"exit code " + std::to_wstring(code);
  }
  TerminateProcess(process.get(), 1);
  return L"still running after " + std::to_wstring(seconds) + L" s";
}

// Runs the uninstaller as a user meets it, and says what the user saw: the box's caption,
// text, and icon and buttons as press-ok.exe reads them (it presses OK), and the exit code.
// Unseen, it runs as deployment tools run it, where no one can see a box: on a desktop of a
// window station of its own, shown on no screen; it must end by itself.
Lines RunUninstaller(const std::wstring& folder, const std::wstring& arguments, bool unseen) {
  const std::wstring line = L"\"" + folder + L"\\orvanto-uninstall.exe\" " + arguments;
  if (unseen) {
    const UniqueAny<HWINSTA, CloseWindowStation> station(CreateWindowStationW(L"unseen", 0, GENERIC_ALL, nullptr));
    const HWINSTA own = GetProcessWindowStation();
    SetProcessWindowStation(station.get());  // a desktop is made in the caller's window station
    const UniqueAny<HDESK, CloseDesktop> desktop(CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr));
    SetProcessWindowStation(own);
    USEROBJECTFLAGS flags = {};
    std::wstring name = L"unseen\\Default";
    STARTUPINFOW startup = {};
    startup.lpDesktop = name.data();
    if (!desktop || !GetUserObjectInformationW(station.get(), UOI_FLAGS, &flags, sizeof flags, nullptr) ||
        (flags.dwFlags & WSF_VISIBLE) != 0) {
      return {L"set-up: no window station that no one can see"};
    }
    return {Run(line, 30, startup)};
  }
  const bool leaveOpen = EnvironmentSaysYes(L"PRESS_OK_LEAVE_OPEN");
  std::wstring ended;
  std::thread uninstaller([&] { ended = Run(line, leaveOpen ? 1800 : 60); });
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE read = nullptr;
  STARTUPINFOW startup = {};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);  // what it waited for, and how long
  CreatePipe(&read, &startup.hStdOutput, &inherited, 0);
  const UniqueHandle reading(read);
  std::thread pressOk([&] {
    Run(L"\"" + folder + L"\\press-ok.exe\"" + (leaveOpen ? L" --leave-open" : L""), leaveOpen ? 1800 : 60, startup);
    CloseHandle(startup.hStdOutput);  // the last writer but press-ok.exe's: its end ends the reading
  });
  std::string said;
  char chunk[512];
  for (DWORD got = 0; ReadFile(read, chunk, sizeof chunk, &got, nullptr) && got > 0;) said.append(chunk, got);
  pressOk.join();
  uninstaller.join();
  Lines seen;
  std::istringstream in(said);
  for (std::string text; std::getline(in, text);) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    seen.emplace_back(text.begin(), text.end());  // ASCII, as press-ok.exe says it
  }
  seen.push_back(ended);
  return seen;
}

// The rows and the layouts of scenarios.txt, their cells split at "|" and trimmed.
std::vector<Lines> Rows(const std::wstring& folder) {
  std::ifstream file(std::filesystem::path(folder + L"\\scenarios.txt"));
  std::vector<Lines> rows;
  for (std::string utf8; std::getline(file, utf8);) {
    const std::wstring line = FromUtf8(utf8.c_str());
    if (line.empty() || line[0] == L'#') continue;
    Lines row;
    std::wistringstream cells(line.substr(0, line.find_last_not_of(L" \r") + 1));
    for (std::wstring cell; std::getline(cells, cell, L'|');) {
      cell.erase(0, cell.find_first_not_of(L' '));
      row.push_back(cell.erase(cell.find_last_not_of(L' ') + 1));
    }
    row.resize(5);
    rows.push_back(row);
  }
  return rows;
}

Lines Words(const std::wstring& text) {
  std::wistringstream in(text);
  return {std::istream_iterator<std::wstring, wchar_t>(in), {}};
}

// What the scenario laid out, as it is now: its files and folders and the settings key.
void Show(const wchar_t* title) {
  std::printf("\n== %ls\n", title);
  for (const std::wstring& top : laid) {
    if (Exists(top)) std::printf("%ls\n", top.c_str());
    for (const std::wstring& entry : ListTree(top))
      std::printf("%ls\n", Join(top, entry.substr(0, entry.find(L" ["))).c_str());
  }
  for (const std::wstring& line : SettingsPicture())
    std::printf("HKEY_CURRENT_USER\\%ls%ls\n", kSettings.c_str(), line.c_str());
}

// Ends the swap, if any, and closes the file held open, if any.
void LetGo() {
  if (swap.joinable()) swap.join();
  held.reset();
}

// Removes what the scenario laid out, and checks that it is gone.
void PutBack() {
  LetGo();
  for (const std::wstring& path : laid) RemoveTestTree(path);
  RegDeleteTreeW(HKEY_CURRENT_USER, kSettings.c_str());
  Lines left;
  std::copy_if(laid.begin(), laid.end(), std::back_inserter(left), Exists);
  Check(L"put back", {}, left);
}

// Runs the uninstaller and checks what it showed, and what it removed and left.
void RunAndCheck(const std::wstring& folder, const Lines& row, const Lines& gone) {
  const std::map<std::wstring, std::wstring> texts = {{L"ALL", L"All applications have been uninstalled"},
                                                      {L"SOME", L"Some files could not be removed"},
                                                      {L"NONE", L"No application installed"}};
  const Lines before = Picture(gone);
  const Lines settings = SettingsPicture();
  if (show) Show(L"Laid out");
  const Lines seen = RunUninstaller(folder, row[2], row[3] == L"UNSEEN");
  if (show) {
    std::printf("\n== The uninstaller showed\n");
    for (const std::wstring& line : seen) std::printf("%ls\n", line.c_str());
    Show(L"Left afterwards");
    std::printf("\n== Result\n");
  }
  LetGo();
  Lines expected = {L"exit code 1"};
  if (row[3] != L"UNSEEN") {
    expected.insert(expected.begin(), {L"Orvanto Server", texts.at(row[3]), L"icon information, buttons OK"});
  }
  Check(L"message box and exit code", expected, seen);
  for (const std::wstring& path : gone) {
    if (path.empty()) continue;  // the settings subkeys
    Lines left = ListTree(path);
    if (Exists(path)) left.insert(left.begin(), L"(itself)");
    Check(path + L" is gone", {}, left);
  }
  Check(L"the rest untouched", before, Picture(gone));
  const bool settingsGone = std::count(gone.begin(), gone.end(), L"") > 0;
  Check(L"settings key", settingsGone ? WithoutSubkeys(settings) : settings, SettingsPicture());
}

int RunScenario(const std::wstring& folder, const Lines& row, const std::map<std::wstring, Lines>& layouts) {
  bool ready = true;
  for (const std::wstring& word : Words(row[1])) {
    if (ready && !(ready = LayWord(word, layouts)) && skipped.empty()) {
      std::printf("FAILED: set-up: %ls (error %lu)\n", word.c_str(), GetLastError());
    }
  }
  Lines gone;
  for (const std::wstring& name : Words(row[4])) gone.push_back(name == L"SETTINGS" ? L"" : PathOf(name));
  if (ready) RunAndCheck(folder, row, gone);
  PutBack();
  if (!ready && !skipped.empty()) {
    std::printf("skipped: %ls\n", skipped.c_str());
    return 77;
  }
  std::printf(failures == 0 && ready ? "PASSED\n" : "%d check(s) FAILED\n", failures);
  return failures == 0 && ready ? 0 : 1;
}

bool DeclaredThrowaway() {
  wchar_t user[256] = {};
  DWORD size = 256;
  return EnvironmentSaysYes(L"ORVANTO_THROWAWAY_MACHINE") ||
         (GetUserNameW(user, &size) && _wcsicmp(user, L"WDAGUtilityAccount") == 0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  wchar_t self[MAX_PATH] = {};
  std::wstring folder(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
  folder.erase(folder.rfind(L'\\'));
  std::map<std::wstring, Lines> layouts;
  std::vector<Lines> rows;
  for (const Lines& row : Rows(folder)) {
    if (row[0][0] == L'=') {
      layouts[row[0].substr(row[0].find_first_not_of(L"= "))] = row;
    } else {
      rows.push_back(row);
    }
  }
  if (argc == 2 && std::wstring(argv[1]) == L"--list") {
    for (const Lines& row : rows) std::printf("%ls\n", row[0].c_str());
    return 0;
  }
  show = argc == 3 && std::wstring(argv[1]) == L"--show";
  const auto row = std::find_if(rows.begin(), rows.end(),
                                [&](const Lines& each) { return argc == (show ? 3 : 2) && each[0] == argv[argc - 1]; });
  if (row == rows.end()) {
    std::printf("usage: e2e-driver.exe --list | [--show] NAME   (a row of scenarios.txt)\n");
    return 2;
  }
  if (!DeclaredThrowaway()) {
    std::printf("skipped: not on a machine declared throwaway\n");
    return 77;
  }
  if (!SettingsPicture().empty()) {
    std::printf("set-up: HKCU\\%ls is there already\n", kSettings.c_str());
    return 1;
  }
  FindPaths();
  return RunScenario(folder, *row, layouts);
}
