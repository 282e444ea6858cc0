// Does what a user does with the uninstaller's message box: waits until it is on screen,
// reads it and presses OK. Prints what the user sees, one line each: the caption, the
// text, and "icon information, buttons OK".
//
//   press-ok.exe [--leave-open]     (--leave-open: only reads; someone else closes the box)
//
// Exits 1 when no box is on screen within 30 s, or it does not close within 10 s of OK. What
// it waited for, and how long, goes to stderr, for the caller to show when a check fails.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "scoped_handles.h"

namespace {

constexpr DWORD kPollMilliseconds = 50;

// Waits until `done` holds, or `seconds` have passed, and says on stderr how long it took.
template <typename Condition>
bool WaitFor(int seconds, const char* what, Condition done) {
  const ULONGLONG start = GetTickCount64();
  bool held = true;
  for (int waited = 0; !done(); waited += kPollMilliseconds) {
    if (waited >= seconds * 1000) {
      held = false;
      break;
    }
    Sleep(kPollMilliseconds);
  }
  std::fprintf(stderr, "press-ok: waited %llu ms for %s%s\n", GetTickCount64() - start, what,
               held ? "" : ", and gave up");
  return held;
}

// The first visible message box. A hidden dialog window may come first, so each is asked.
HWND VisibleBox() {
  HWND box = nullptr;
  while ((box = FindWindowExW(nullptr, box, L"#32770", nullptr)) != nullptr) {
    if (IsWindowVisible(box) != FALSE) return box;
  }
  return nullptr;
}

std::string TextOf(HWND window) {
  wchar_t text[1024] = {};
  GetWindowTextW(window, text, static_cast<int>(std::size(text)));
  char utf8[4096] = {};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
  return utf8;
}

void ReleaseScreenDc(HDC screen) { ReleaseDC(nullptr, screen); }

// The pixels of a screen area, or, given an icon, of that icon drawn on the area's
// top-left colour: the icons leave their corners clear, so that is the box's background.
std::vector<DWORD> Pixels(const RECT& area, HICON icon) {
  const LONG width = area.right - area.left;
  const LONG height = area.bottom - area.top;
  const BITMAPINFO format = {{sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {}};
  void* bits = nullptr;
  // Declared before the DC that holds it, so that it is freed after the DC lets go of it.
  const UniqueAny<HBITMAP, DeleteObject> bitmap(CreateDIBSection(nullptr, &format, DIB_RGB_COLORS, &bits, nullptr, 0));
  const UniqueAny<HDC, ReleaseScreenDc> screen(GetDC(nullptr));
  const UniqueAny<HDC, DeleteDC> memory(CreateCompatibleDC(screen.get()));
  if (!bitmap || !memory) return {};
  SelectObject(memory.get(), bitmap.get());
  StretchBlt(memory.get(), 0, 0, width, height, screen.get(), area.left, area.top, icon ? 1 : width, icon ? 1 : height,
             SRCCOPY);
  if (icon) DrawIconEx(memory.get(), 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL);
  GdiFlush();
  const auto* first = static_cast<const DWORD*>(bits);
  return {first, first + static_cast<ptrdiff_t>(width) * height};
}

// Which of the system's message box icons the box shows, told by its pixels on screen:
// an icon handle means nothing outside the process that loaded it.
const char* IconShown(HWND iconControl) {
  RECT area;
  GetWindowRect(iconControl, &area);
  const std::vector<DWORD> shown = Pixels(area, nullptr);
  const std::pair<const wchar_t*, const char*> icons[] = {
      {IDI_INFORMATION, "information"}, {IDI_WARNING, "warning"}, {IDI_ERROR, "error"}, {IDI_QUESTION, "question"}};
  for (const auto& [id, name] : icons) {
    if (!shown.empty() && Pixels(area, LoadIconW(nullptr, id)) == shown) return name;
  }
  return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
  const bool leaveOpen = argc > 1 && std::strcmp(argv[1], "--leave-open") == 0;
  // Found by class, any caption: FindWindowExW would match the caption whatever its case,
  // and the caption is for the caller to check. A click sent before the box is shown is
  // lost, so only a visible box counts.
  HWND box = nullptr;
  if (!WaitFor(30, "a visible message box", [&] { return (box = VisibleBox()) != nullptr; })) return 1;
  std::string icon = "none";
  std::string buttons;
  for (HWND control = GetWindow(box, GW_CHILD); control != nullptr; control = GetWindow(control, GW_HWNDNEXT)) {
    wchar_t kind[32] = {};
    GetClassNameW(control, kind, static_cast<int>(std::size(kind)));
    if (lstrcmpiW(kind, L"Button") == 0) buttons += (buttons.empty() ? "" : " ") + TextOf(control);
    if (lstrcmpiW(kind, L"Static") == 0 && (GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      // A box is visible before its process has drawn it, and Wine hands the drawing to the
      // X server later still: the icon is read off the screen until one is there.
      WaitFor(5, "the icon on screen", [&] { return (icon = IconShown(control)) != "unknown"; });
    }
  }
  // 0xFFFF: the id of the static control that holds a message box's text.
  std::printf("%s\n%s\nicon %s, buttons %s\n", TextOf(box).c_str(), TextOf(GetDlgItem(box, 0xFFFF)).c_str(),
              icon.c_str(), buttons.c_str());
  std::fflush(stdout);
  if (leaveOpen) return 0;
  // What the OK button itself sends the box when clicked; posted, so that this process
  // never waits on the other one's message loop.
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
  return WaitFor(10, "the box to close after OK", [&] { return IsWindow(box) == FALSE; }) ? 0 : 1;
}
