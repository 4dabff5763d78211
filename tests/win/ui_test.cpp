// The interactive builder driven through its real windows: the main window, its builds and
// rejections, the remembered settings, the help window and the about box.
#include <gtest/gtest.h>

#include <cstdio>

#include "harness.h"
#include "ui_driver.h"

using namespace harness;

namespace {

const char kSettingsPath[] = "Software\\Vornholt\\Kesdra";

// ---- the remembered settings, read and written as another program would ----------------

void ForgetSettings() { RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsPath); }

bool SettingsKeyExists() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void StoreValue(const char* name, DWORD type, const std::string& data) {
  ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, kSettingsPath, name, type, data.data(), static_cast<DWORD>(data.size())),
            ERROR_SUCCESS);
}

// The raw bytes of a stored value; "<absent>" when there is none.
std::string StoredValue(const char* name) {
  char data[1024];
  DWORD size = sizeof data;
  return RegGetValueA(HKEY_CURRENT_USER, kSettingsPath, name, RRF_RT_ANY | RRF_NOEXPAND, nullptr, data, &size) ==
                 ERROR_SUCCESS
             ? std::string(data, size)
             : "<absent>";
}

std::string Z(const std::string& text) { return text + '\0'; }  // as REG_SZ stores it

// ---- the main window ----------------------------------------------------------------------

struct MainWindow {
  HWND form = nullptr;
  HWND esource = nullptr, eexefile = nullptr, etarget = nullptr;
  HWND bsource = nullptr, bexefile = nullptr, btarget = nullptr, bmake = nullptr;
  HWND lsource = nullptr, lexefile = nullptr, ltarget = nullptr, lwait = nullptr, lweb = nullptr, lcmdline = nullptr;

  // The three edits and Browse buttons stand in rows: find them by their rows' tops.
  explicit MainWindow(HWND window) : form(window) {
    lsource = ChildWithText(form, "Static", "Source directory:");
    lexefile = ChildWithText(form, "Static", "Executable file (from the source directory):");
    ltarget = ChildWithText(form, "Static", "Target SFX file:");
    lwait = ChildWithText(form, "Static", "Please wait...");
    lweb = ChildWithText(form, "Static", "https://kesdra.example.org");
    lcmdline = ChildWithText(form, "Static", "Command line support");
    bmake = ChildWithText(form, "Button", "Kesdra");
    for (HWND edit : Children(form, "Edit")) {
      const LONG top = RectInParent(edit).top;
      (top == Scaled(24) ? esource : top == Scaled(72) ? eexefile : etarget) = edit;
    }
    for (HWND button : Children(form, "Button")) {
      if (Text(button) != "Browse") continue;
      const LONG top = RectInParent(button).top;
      (top == Scaled(24) ? bsource : top == Scaled(72) ? bexefile : btarget) = button;
    }
  }
  bool Busy() const { return IsWindowVisible(lwait) != FALSE; }
  // The texts of the three fields: source, executable and target.
  std::vector<std::string> Fields() const { return {Text(esource), Text(eexefile), Text(etarget)}; }
};

using Texts = std::vector<std::string>;

class Builder : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = TempDir("kui");
    source_ = dir_ + "src\\";
    WriteFile(source_ + "setup.exe", "MZ pretend program");
    WriteFile(source_ + "doc\\readme.txt", "read me");
    target_ = dir_ + "out\\made.exe";
    ForgetSettings();
  }
  void TearDown() override {
    ForgetSettings();
    RemoveTree(dir_);
  }

  std::string Kesdra() const { return Quote(ProgramDir() + "kesdra.exe"); }

  // Starts the builder (`exe`: another copy of it) and waits for its main window.
  MainWindow Open(RunningProgram& program, const std::string& exe = std::string()) {
    EXPECT_TRUE(program.Start(exe.empty() ? Kesdra() : Quote(exe)));
    HWND form = program.WaitForWindow("Tfkesdra");
    EXPECT_NE(form, nullptr);
    return MainWindow(form);
  }

  void Fill(const MainWindow& w, const std::string& source, const std::string& exe, const std::string& target) {
    SetText(w.esource, source);
    SetText(w.eexefile, exe);
    SetText(w.etarget, target);
  }

  // Presses Make, expects one box with this text, answers it and returns what it was.
  BoxSeen MakeAndAnswer(RunningProgram& program, const MainWindow& w, int answer = IDOK) {
    Click(w.bmake);
    HWND box = program.WaitForBox();
    EXPECT_NE(box, nullptr);
    if (!box) return BoxSeen();
    const BoxSeen seen = ReadBox(box);
    Answer(box, answer);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box); }, 10000));
    return seen;
  }

  // After a rejected build the window is back, enabled, with the fields as they were.
  void ExpectIdleWith(const MainWindow& w, const std::string& source, const std::string& exe,
                      const std::string& target) {
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(w.form) != FALSE; }, 5000));
    EXPECT_TRUE(IsWindowVisible(w.form));
    EXPECT_FALSE(w.Busy());
    EXPECT_TRUE(IsWindowVisible(w.lweb));
    EXPECT_TRUE(IsWindowVisible(w.lcmdline));
    EXPECT_EQ(w.Fields(), (Texts{source, exe, target}));
  }

  // The keyboard focus is back in the control that had it.
  void ExpectFocusBackOn(const RunningProgram& program, HWND control) {
    EXPECT_TRUE(WaitUntil([&] { return program.FocusedControl() == control; }, 5000))
        << "focus on " << program.FocusedControl() << " (" << Text(program.FocusedControl()) << "), not " << control
        << " (" << Text(control) << ")";
  }

  void CloseAndExpectExit(RunningProgram& program, const MainWindow& w) {
    PostMessageA(w.form, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.WaitForExit(), 0u);
  }

  std::string dir_, source_, target_;
};

TEST_F(Builder, MainWindowLayoutTextsAndTabOrder) {
  RunningProgram program;
  const MainWindow w = Open(program);
  EXPECT_EQ(Text(w.form), "Kesdra 1.0");
  const SIZE client = ClientSize(w.form);
  EXPECT_EQ(client.cx, Scaled(400));
  EXPECT_EQ(client.cy, Scaled(200));
  const LONG style = GetWindowLongA(w.form, GWL_STYLE);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);

  struct Expected {
    HWND control;
    int left, top, width, height;  // width/height 0: a label sizing itself
  } const expected[] = {
      {w.lsource, 8, 8, 0, 0},       {w.lexefile, 8, 56, 0, 0},      {w.ltarget, 8, 104, 0, 0},
      {w.lweb, 8, 176, 0, 0},        {w.esource, 8, 24, 305, 21},    {w.bsource, 320, 24, 75, 25},
      {w.eexefile, 8, 72, 305, 21},  {w.bexefile, 320, 72, 75, 25},  {w.etarget, 8, 120, 305, 21},
      {w.btarget, 320, 120, 75, 25}, {w.bmake, 304, 168, 91, 25},    {w.lwait, 8, 160, 0, 0},
  };
  for (const Expected& e : expected) {
    ASSERT_NE(e.control, nullptr);
    const RECT r = RectInParent(e.control);
    EXPECT_EQ(r.left, Scaled(e.left)) << Text(e.control);
    EXPECT_EQ(r.top, Scaled(e.top)) << Text(e.control);
    if (e.width) {
      EXPECT_EQ(r.right - r.left, Scaled(e.width)) << Text(e.control);
      EXPECT_EQ(r.bottom - r.top, Scaled(e.height)) << Text(e.control);
    }
  }
  // The command-line link stays on its row, clear of the web address to its left.
  const RECT web = RectInParent(w.lweb), cmd = RectInParent(w.lcmdline);
  EXPECT_EQ(cmd.top, Scaled(176));
  EXPECT_GE(cmd.left, std::max<LONG>(Scaled(128), web.right));

  EXPECT_FALSE(w.Busy());
  EXPECT_TRUE(IsWindowVisible(w.lweb));
  EXPECT_TRUE(GetWindowLongA(w.bmake, GWL_STYLE) & BS_DEFPUSHBUTTON);
  EXPECT_TRUE(WaitUntil([&] { return program.FocusedControl() == w.bmake; }, 5000)) << program.FocusedControl();
  // First start: empty fields, and the empty key now exists.
  EXPECT_EQ(w.Fields(), (Texts{"", "", ""}));
  EXPECT_TRUE(SettingsKeyExists());

  const HWND tabOrder[] = {w.esource, w.bsource, w.eexefile, w.bexefile, w.etarget, w.btarget, w.bmake, w.esource};
  for (size_t i = 0; i + 1 < sizeof tabOrder / sizeof tabOrder[0]; ++i)
    EXPECT_EQ(GetNextDlgTabItem(w.form, tabOrder[i], FALSE), tabOrder[i + 1]) << "tab stop " << i;
  CloseAndExpectExit(program, w);
}

TEST_F(Builder, RejectedInputsAFailedBuildAndADeclinedOverwriteKeepTheWindowAndItsFields) {
  WriteFile(dir_ + "blocker", "a file where the target's folder should be");
  struct Case {
    std::string source, exe, target, caption, text;
  } const cases[] = {
      {dir_ + "nowhere", "setup.exe", target_, "Error", "Source directory does not exist\r\n\r\n" + dir_ + "nowhere\\"},
      {source_, "nope.exe", target_, "Error", "Executable file does not exist\r\n\r\n" + source_ + "nope.exe"},
      // A directory is not an executable file.
      {source_, "doc", target_, "Error", "Executable file does not exist\r\n\r\n" + source_ + "doc"},
      // The build itself fails: its message, under the application title, names the cause.
      {source_, "setup.exe", dir_ + "blocker\\made.exe", "Kesdra 1.0", "blocker"},
  };
  RunningProgram program;
  const MainWindow w = Open(program);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exe + " " + c.target);
    Fill(w, c.source, c.exe, c.target);
    const BoxSeen box = MakeAndAnswer(program, w);
    EXPECT_EQ(box.caption, c.caption);
    EXPECT_TRUE(c.caption == "Error" ? box.text == c.text : box.text.find(c.text) != std::string::npos) << box.text;
    ExpectIdleWith(w, c.source, c.exe, c.target);
    ExpectFocusBackOn(program, w.bmake);
  }
  EXPECT_FALSE(Exists(target_));

  // The overwrite question: No is the default button and holds the focus, so Enter answers No.
  WriteFile(target_, "precious");
  Fill(w, source_, "setup.exe", target_);
  Click(w.bmake);
  HWND box = program.WaitForBox();
  ASSERT_NE(box, nullptr);
  const BoxSeen seen = ReadBox(box);
  EXPECT_EQ(seen.caption, "Confirmation");
  EXPECT_EQ(seen.text, "Target file already exists\r\nOverwrite?");
  EXPECT_TRUE(seen.yesNo);
  EXPECT_EQ(GetDlgItem(box, IDCANCEL), nullptr);
  HWND no = GetDlgItem(box, IDNO), yes = GetDlgItem(box, IDYES);
  EXPECT_TRUE(GetWindowLongA(no, GWL_STYLE) & BS_DEFPUSHBUTTON);
  EXPECT_FALSE(GetWindowLongA(yes, GWL_STYLE) & BS_DEFPUSHBUTTON);
  EXPECT_EQ(program.FocusedControl(), no);
  PressKey(program.FocusedControl(), VK_RETURN);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box); }, 10000));
  ExpectIdleWith(w, source_, "setup.exe", target_);
  ExpectFocusBackOn(program, w.bmake);
  EXPECT_EQ(ReadFile(target_), "precious");
  CloseAndExpectExit(program, w);
}

TEST_F(Builder, CloseIsRefusedWhileTheBusyNoticeShows) {
  for (int i = 0; i < 1500; ++i) WriteFile(source_ + "many\\f" + std::to_string(i) + ".txt", std::string(2000, 'x'));
  RunningProgram program;
  const MainWindow w = Open(program);
  Fill(w, source_, "setup.exe", target_);
  Click(w.bmake);
  ASSERT_TRUE(WaitUntil([&] { return w.Busy(); }, 20000));
  EXPECT_FALSE(IsWindowVisible(w.lweb));
  EXPECT_FALSE(IsWindowVisible(w.lcmdline));
  EXPECT_FALSE(IsWindowEnabled(w.form));
  // Sent, not posted: it returns once the window has handled the request.
  DWORD_PTR ignored = 0;
  ASSERT_TRUE(SendMessageTimeoutA(w.form, WM_CLOSE, 0, 0, SMTO_NORMAL, 20000, &ignored));
  ASSERT_TRUE(w.Busy()) << "the build ended too early to tell";  // the request met the notice
  HWND box = program.WaitForBox(60000);
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(IsWindow(w.form));
  EXPECT_EQ(ReadBox(box).text, "SFX module has been successfully created");
  Answer(box, IDOK);
  EXPECT_EQ(program.WaitForExit(), 0u);
}

TEST_F(Builder, FieldsAreRestoredSavedTrimmedBeforeValidationAndBuilt) {
  StoreValue("Source", REG_DWORD, std::string("\x2A\0\0\0", 4));
  StoreValue("ExeFile", REG_EXPAND_SZ, Z("%SETUP%.exe"));
  StoreValue("Target", REG_SZ, Z(target_));
  {
    RunningProgram program;
    const MainWindow w = Open(program);
    // A stored value of another type is skipped; %SETUP% is never expanded.
    EXPECT_EQ(w.Fields(), (Texts{"", "%SETUP%.exe", target_}));
    Fill(w, " " + dir_ + "nowhere", "setup.exe ", target_);
    MakeAndAnswer(program, w);  // refused
    // Trimmed, and the source with its delimiter.
    EXPECT_EQ(StoredValue("Source"), Z(dir_ + "nowhere\\"));
    EXPECT_EQ(StoredValue("ExeFile"), Z("setup.exe"));
    EXPECT_EQ(StoredValue("Target"), Z(target_));
    CloseAndExpectExit(program, w);
  }
  RunningProgram program;
  const MainWindow w = Open(program);
  EXPECT_EQ(w.Fields(), (Texts{dir_ + "nowhere\\", "setup.exe", target_}));
  // Make builds, says so, saves the fields and ends the program.
  Fill(w, "  " + dir_ + "src  ", " setup.exe ", target_ + " ");
  const BoxSeen box = MakeAndAnswer(program, w);
  EXPECT_EQ(box.caption, "Information");
  EXPECT_EQ(box.text, "SFX module has been successfully created");
  EXPECT_EQ(program.WaitForExit(), 0u);
  const std::string made = ReadFile(target_);
  EXPECT_EQ(made.substr(0, 2), "MZ");
  EXPECT_NE(made.find("doc\\readme.txt"), std::string::npos);
  EXPECT_EQ(StoredValue("Source"), Z(source_));
}

// With three paths on its command line the builder builds by itself, rejected here, keeps
// the fields it was given, and saves nothing, not even the empty key.
TEST_F(Builder, CommandLineModeBuildsByItselfKeepsTheFieldsAndSavesNothing) {
  RunningProgram program;
  ASSERT_TRUE(program.Start(Kesdra() + " " + Quote(dir_ + "nowhere") + " setup.exe " + Quote(target_)));
  HWND box = program.WaitForBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(ReadBox(box).caption, "Error");
  Answer(box, IDOK);
  const MainWindow w(program.WaitForWindow("Tfkesdra"));
  ExpectIdleWith(w, dir_ + "nowhere", "setup.exe", target_);
  ExpectFocusBackOn(program, w.bmake);
  // A second try from the same window, still without saving.
  Fill(w, source_, "setup.exe", target_);
  EXPECT_EQ(MakeAndAnswer(program, w).text, "SFX module has been successfully created");
  EXPECT_EQ(program.WaitForExit(), 0u);
  EXPECT_EQ(ReadFile(target_).substr(0, 2), "MZ");
  EXPECT_FALSE(SettingsKeyExists());
}

// ---- the about box and the help window --------------------------------------------------

// The about box of a builder whose program file was written in 2009; `close` closes it.
void ExpectAboutBox(RunningProgram& program, UINT close) {
  HWND about = program.WaitForWindow("tfabout", 10000);
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(Text(about), "About...");
  // 264 wide unless a text needs more room: no row is cut off at the right edge.
  EXPECT_GE(ClientSize(about).cx, Scaled(264));
  EXPECT_EQ(ClientSize(about).cy, Scaled(208));
  for (HWND child : Children(about)) EXPECT_LE(RectInParent(child).right, ClientSize(about).cx) << Text(child);
  EXPECT_NE(ChildWithText(about, "Static", "Kesdra 1.0"), nullptr);
  // The year is that of the program file, not of today.
  EXPECT_NE(ChildWithText(about, "Static", "Copyright (c) Kesdra team 2009"), nullptr);
  EXPECT_NE(ChildWithText(about, "Static", "Version 1.0.0.0"), nullptr);
  EXPECT_NE(ChildWithText(about, "Static", "https://kesdra.example.org/kes-dra"), nullptr);
  EXPECT_NE(ChildWithText(about, "Static", "kesdra@example.org"), nullptr);
  EXPECT_NE(ChildWithText(about, "Static", "Web:"), nullptr);
  EXPECT_NE(ChildWithText(about, "Static", "E-mail:"), nullptr);
  HWND ok = ChildWithText(about, "Button", "OK");
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(RectInParent(ok).left, Scaled(96));
  EXPECT_EQ(RectInParent(ok).top, Scaled(168));
  PressKey(ok, close);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(about); }, 10000));
}

TEST_F(Builder, F1WithAnyModifierOpensTheAboutBoxAndTheFocusComesBack) {
  const std::string copy = dir_ + "old\\kesdra.exe";
  WriteFile(copy, ReadFile(ProgramDir() + "kesdra.exe"));
  SYSTEMTIME written = {2009, 6, 0, 15, 12, 0, 0, 0};
  FILETIME local, utc;
  SystemTimeToFileTime(&written, &local);
  LocalFileTimeToFileTime(&local, &utc);
  HANDLE file = CreateFileA(copy.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  SetFileTime(file, nullptr, nullptr, &utc);
  CloseHandle(file);

  RunningProgram program;
  const MainWindow w = Open(program, copy);
  PressKey(w.esource, VK_F1);
  ExpectAboutBox(program, VK_RETURN);  // Enter closes it, as Escape does
  EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(w.form) != FALSE; }, 5000));
  ExpectFocusBackOn(program, w.bmake);

  // Real key strokes from here on. Tab leaves Make for the first field, where the focus
  // must be again each time the box has closed.
  ASSERT_TRUE(SendRealKeys(w.form, "Tab"));
  ExpectFocusBackOn(program, w.esource);
  for (const char* keys : {"shift+F1", "ctrl+F1", "alt+F1"}) {
    ASSERT_TRUE(SendRealKeys(w.form, keys));
    ASSERT_NE(program.WaitForWindow("tfabout", 10000), nullptr) << keys;
    ExpectAboutBox(program, VK_ESCAPE);
    ExpectFocusBackOn(program, w.esource);
  }
  CloseAndExpectExit(program, w);
}

// Real key strokes: Tab passes a Browse button on its way to a field, Enter there starts a
// build that is rejected, Enter closes the box, and typing goes on in the same field.
TEST_F(Builder, KeyboardAloneThroughARejectedBuild) {
  RunningProgram program;
  const MainWindow w = Open(program);
  Fill(w, dir_ + "nowhere", "setup.exe", target_);
  ExpectFocusBackOn(program, w.bmake);
  ASSERT_TRUE(SendRealKeys(w.form, "Tab Tab Tab"));  // source field, its Browse button, program field
  ExpectFocusBackOn(program, w.eexefile);
  // Make has the default frame again, and only Make.
  const auto hasFrame = [](HWND button) { return (GetWindowLongA(button, GWL_STYLE) & BS_DEFPUSHBUTTON) != 0; };
  EXPECT_TRUE(WaitUntil([&] { return hasFrame(w.bmake); }, 5000));
  for (HWND browse : {w.bsource, w.bexefile, w.btarget}) EXPECT_FALSE(hasFrame(browse)) << Text(browse);

  HWND box = nullptr;
  ASSERT_TRUE(SendRealKeysUntil(w.form, "Return", [&] { return (box = program.WaitForBox(500)) != nullptr; }));
  EXPECT_EQ(ReadBox(box).text, "Source directory does not exist\r\n\r\n" + dir_ + "nowhere\\");
  EXPECT_TRUE(SendRealKeysUntil(box, "Return", [&] { return !IsWindow(box); }));
  ExpectIdleWith(w, dir_ + "nowhere", "setup.exe", target_);
  ExpectFocusBackOn(program, w.eexefile);
  ASSERT_TRUE(SendRealKeys(w.form, "End z"));
  EXPECT_TRUE(WaitUntil([&] { return Text(w.eexefile) == "setup.exez"; }, 5000)) << Text(w.eexefile);
  CloseAndExpectExit(program, w);
}

// The file-name field of a file dialog: the first edit control found in it.
BOOL CALLBACK FirstEdit(HWND child, LPARAM data) {
  if (ClassOf(child) != "Edit" || !IsWindowVisible(child)) return TRUE;
  *reinterpret_cast<HWND*>(data) = child;
  return FALSE;
}

HWND FileNameField(HWND dialog) {
  HWND edit = nullptr;
  WaitUntil(
      [&] {
        EnumChildWindows(dialog, FirstEdit, reinterpret_cast<LPARAM>(&edit));
        return edit != nullptr;
      },
      10000);
  return edit;
}

TEST_F(Builder, BrowseButtonsFillTheirFields) {
  RunningProgram program;
  const MainWindow w = Open(program);
  Fill(w, source_, "", dir_ + "out\\made.exe");

  // A file picked in a subfolder still gives only its name.
  Click(w.bexefile);
  HWND dialog = program.WaitForBox();
  ASSERT_NE(dialog, nullptr);
  HWND name = FileNameField(dialog);
  ASSERT_NE(name, nullptr);
  SetText(name, source_ + "doc\\readme.txt");
  Answer(dialog, IDOK);
  EXPECT_TRUE(WaitUntil([&] { return Text(w.eexefile) == "readme.txt"; }, 10000)) << Text(w.eexefile);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }, 10000));

  // The save dialog starts with the target's name and gives back the full path.
  Click(w.btarget);
  dialog = program.WaitForBox();
  ASSERT_NE(dialog, nullptr);
  name = FileNameField(dialog);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(Text(name), "made.exe");
  SetText(name, dir_ + "chosen.exe");
  Answer(dialog, IDOK);
  EXPECT_TRUE(WaitUntil([&] { return Text(w.etarget) == dir_ + "chosen.exe"; }, 10000)) << Text(w.etarget);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }, 10000));

  // Cancel in the folder browser leaves the field as it was.
  Click(w.bsource);
  dialog = program.WaitForBox();
  ASSERT_NE(dialog, nullptr);
  EXPECT_FALSE(IsWindowEnabled(w.form));
  Answer(dialog, IDCANCEL);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(dialog); }, 10000));
  EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(w.form) != FALSE; }, 5000));
  EXPECT_EQ(Text(w.esource), source_);
  CloseAndExpectExit(program, w);
}

TEST_F(Builder, HelpWindowShowsTheUsageAndClosesOnEscape) {
  RunningProgram program;
  const MainWindow w = Open(program);
  for (int round = 0; round < 2; ++round) {  // built afresh on each opening
    ClickLabel(w.lcmdline);
    HWND help = program.WaitForWindow("Tfcmdline", 10000);
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(Text(help), "Kesdra 1.0 - Command line support");
    EXPECT_EQ(ClientSize(help).cx, Scaled(560));
    EXPECT_EQ(ClientSize(help).cy, Scaled(320));
    EXPECT_FALSE(IsWindowEnabled(w.form));
    const std::vector<HWND> memos = Children(help, "Edit");
    ASSERT_EQ(memos.size(), 1u);
    EXPECT_EQ(Text(memos[0]),
              "Usage:\r\n"
              "kesdra [-o] [-c] [-h] <sourcedir> <executablefile> <targetfile>\r\n"
              "\r\n"
              "Optional parametrs:\r\n"
              "-o  automatically overwrite target file, if exists\r\n"
              "-c  do not show message box when SFX module was created\r\n"
              "-h  hide main form of the application\r\n"
              "\r\n"
              "Example:\r\n"
              "kesdra -o \"C:\\sourcedir\" \"setup.exe\" \"C:\\targetfile.exe\"");
    EXPECT_EQ(SendMessageA(memos[0], EM_GETLINECOUNT, 0, 0), 10);
    EXPECT_TRUE(GetWindowLongA(memos[0], GWL_STYLE) & ES_READONLY);
    HWND close = ChildWithText(help, "Button", "Close");
    ASSERT_NE(close, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return program.FocusedControl() == close; }, 5000));
    if (round == 0) {
      PressKey(memos[0], VK_ESCAPE);  // the key preview sees it before the memo
    } else {
      Click(close);
    }
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(help); }, 10000));
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(w.form) != FALSE; }, 5000));
    ExpectFocusBackOn(program, w.bmake);
  }
  CloseAndExpectExit(program, w);
}

}  // namespace
