// Does what a user does with the uninstaller's message box: waits until it is on screen,
// reads it and presses OK. Prints the message text on standard output, and on a second
// line what else the user sees: "icon information, buttons OK".
//
//   press-ok.exe [--leave-open] [--timeout SECONDS]
//
// --leave-open reads the text but leaves the box for someone else to close.
// Exit codes: 0 done; 2 usage; 3 no box became visible in time; 4 the box has no OK
// button; 5 the box did not close after OK was pressed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kCaption[] = L"Orvanto Server";
// The window class Windows gives dialog boxes, message boxes included.
constexpr wchar_t kDialogClass[] = L"#32770";
// The static control that holds a message box's text.
constexpr int kTextControlId = 0xFFFF;
constexpr DWORD kPollMilliseconds = 50;
constexpr ULONGLONG kCloseMilliseconds = 10000;

int Fail(int code, const char* why) {
  std::fprintf(stderr, "press-ok: %s\n", why);
  return code;
}

// A click sent before the box is shown is lost, so only a visible box counts.
HWND FindVisibleBox() {
  HWND box = FindWindowW(kDialogClass, kCaption);
  return box != nullptr && IsWindowVisible(box) ? box : nullptr;
}

std::string ToUtf8(const wchar_t* text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return {};
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
  out.resize(static_cast<size_t>(bytes) - 1);
  return out;
}

// The pixels of a rectangle of the screen, row by row; with an icon, of that icon drawn
// on `background` instead.
std::vector<COLORREF> Pixels(const RECT& area, HICON icon = nullptr, COLORREF background = 0) {
  const int width = area.right - area.left;
  const int height = area.bottom - area.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  if (icon == nullptr) {
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  } else {
    HBRUSH brush = CreateSolidBrush(background);
    const RECT whole = {0, 0, width, height};
    FillRect(memory, &whole, brush);
    DeleteObject(brush);
    DrawIconEx(memory, 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL);
  }
  std::vector<COLORREF> pixels;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) pixels.push_back(GetPixel(memory, x, y));
  }
  SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// Which of the system's message box icons the box shows, told by its pixels on screen:
// an icon handle means nothing outside the process that loaded it.
std::string IconShown(HWND iconControl) {
  RECT area;
  GetWindowRect(iconControl, &area);
  const std::vector<COLORREF> shown = Pixels(area);
  const struct {
    const wchar_t* id;
    const char* name;
  } icons[] = {
      {IDI_INFORMATION, "information"}, {IDI_WARNING, "warning"}, {IDI_ERROR, "error"}, {IDI_QUESTION, "question"}};
  for (const auto& icon : icons) {
    // The icons leave their corners clear: the first pixel is the box's background.
    if (!shown.empty() && Pixels(area, LoadIconW(nullptr, icon.id), shown[0]) == shown) return icon.name;
  }
  return "unknown";
}

// "icon NAME, buttons TEXT...", from the box's controls.
std::string Describe(HWND box) {
  std::string icon = "none";
  std::string buttons;
  for (HWND control = GetWindow(box, GW_CHILD); control != nullptr; control = GetWindow(control, GW_HWNDNEXT)) {
    wchar_t className[32] = {};
    wchar_t text[64] = {};
    GetClassNameW(control, className, static_cast<int>(std::size(className)));
    GetWindowTextW(control, text, static_cast<int>(std::size(text)));
    if (lstrcmpiW(className, L"Button") == 0) {
      buttons += (buttons.empty() ? "" : " ") + ToUtf8(text);
    } else if (lstrcmpiW(className, L"Static") == 0 && (GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      icon = IconShown(control);
    }
  }
  return "icon " + icon + ", buttons " + buttons;
}

}  // namespace

int main(int argc, char** argv) {
  bool leaveOpen = false;
  int timeoutSeconds = 30;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--leave-open") == 0) {
      leaveOpen = true;
    } else if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
      timeoutSeconds = std::atoi(argv[++i]);
    } else {
      return Fail(2, "usage: press-ok.exe [--leave-open] [--timeout SECONDS]");
    }
  }
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutSeconds) * 1000;

  HWND box = nullptr;
  while ((box = FindVisibleBox()) == nullptr) {
    if (GetTickCount64() >= deadline) {
      std::fprintf(stderr, "press-ok: no visible window captioned \"Orvanto Server\" appeared within %d s\n",
                   timeoutSeconds);
      return 3;
    }
    Sleep(kPollMilliseconds);
  }

  wchar_t text[1024] = {};
  GetDlgItemTextW(box, kTextControlId, text, static_cast<int>(std::size(text)));
  const std::string description = Describe(box);

  if (!leaveOpen) {
    HWND okButton = GetDlgItem(box, IDOK);
    if (okButton == nullptr) return Fail(4, "the message box has no OK button");
    // What the OK button itself sends the box when it is clicked. Posted rather than sent
    // so that this process never waits on the other one's message loop.
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(okButton));
    const ULONGLONG closeDeadline = GetTickCount64() + kCloseMilliseconds;
    while (IsWindow(box)) {
      if (GetTickCount64() >= closeDeadline) return Fail(5, "the message box did not close after OK");
      Sleep(kPollMilliseconds);
    }
  }

  std::printf("%s\n%s\n", ToUtf8(text).c_str(), description.c_str());
  return 0;
}
