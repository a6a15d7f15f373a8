// The about box of Quillfen.exe, driven as a person would: "About..." in the
// "?" menu, its texts, its buttons and its close box. The shell's handlers of
// mail and web links are replaced for the test by a recorder program, so the
// links the buttons hand to the shell can be read back.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "AppSession.h"

namespace {

using namespace qfgui;

const char* const kWineLinkHandler = "\"C:\\windows\\system32\\winebrowser.exe\" \"%1\"";
const char* const kRecorderName = "gui_link_recorder.exe";

std::string ReadRegDefault(const std::string& key) {
  char value[1024] = {};
  LONG size = sizeof value;
  if (RegQueryValueA(HKEY_CLASSES_ROOT, key.c_str(), value, &size) != ERROR_SUCCESS) return "";
  return value;
}

void WriteRegDefault(const std::string& key, const std::string& value) {
  HKEY handle = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr) !=
      ERROR_SUCCESS)
    throw GuiError("cannot write HKCR\\" + key);
  RegSetValueExA(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
  RegCloseKey(handle);
}

// Points the "open" command of the mailto, http and https schemes at the
// recorder for its lifetime, then puts the previous commands back (Wine's
// own handler when a previous run left a recorder behind).
class LinkRecorder {
 public:
  explicit LinkRecorder(const std::string& logFile) : log_(logFile) {
    const std::string command =
        "\"" + JoinPath(ThisExeFolder(), kRecorderName) + "\" \"" + logFile + "\" \"%1\"";
    for (const char* scheme : kSchemes) {
      const std::string key = std::string(scheme) + "\\shell\\open\\command";
      std::string previous = ReadRegDefault(key);
      if (previous.empty() || previous.find(kRecorderName) != std::string::npos) previous = kWineLinkHandler;
      saved_.push_back({key, previous});
      WriteRegDefault(key, command);
    }
  }
  ~LinkRecorder() {
    for (const auto& entry : saved_) WriteRegDefault(entry.first, entry.second);
  }
  LinkRecorder(const LinkRecorder&) = delete;
  LinkRecorder& operator=(const LinkRecorder&) = delete;

  // The links recorded so far, one per opening.
  std::vector<std::string> Links() const {
    std::ifstream file(log_, std::ios::binary);
    std::vector<std::string> links;
    for (std::string line; std::getline(file, line);) links.push_back(line);
    return links;
  }

 private:
  static constexpr const char* kSchemes[] = {"mailto", "http", "https"};
  std::string log_;
  std::vector<std::pair<std::string, std::string>> saved_;
};

class AboutBoxTest : public AppSession {
 protected:
  HWND OpenAbout() {
    Command(main_, IDM_MAIN_ABOUT);
    about_ = proc_->WaitForWindow(QF_CLASS_ABOUTDLG);
    Sync(about_);
    return about_;
  }
  bool AboutShown() const { return IsWindow(about_) && IsWindowVisible(about_); }
  void WaitClosed(const std::string& how) {
    WaitOrThrow([&] { return !AboutShown(); }, "the about box to close on " + how);
    EXPECT_EQ(MessageAfterAction(), "") << how;
    EXPECT_TRUE(IsWindowEnabled(main_)) << how;
  }

  // The caption and the two labels the box shows now.
  std::vector<std::string> Texts() const {
    return {TextOf(about_), TextOf(Child(about_, IDC_ABOUT_APPNAME_LBL)),
            TextOf(Child(about_, IDC_ABOUT_VERSION_LBL))};
  }

  HWND about_ = nullptr;
};

TEST_F(AboutBoxTest, TextsAreBuiltAfreshOnEveryShowing) {
  const std::vector<std::string> expected{"About Quillfen", "Application Name : Quillfen", "Version : 1.0.0.0"};
  // Ok, then the close box, then Ok again: the same texts each time.
  for (const char* how : {"Ok", "close box", "Ok"}) {
    OpenAbout();
    EXPECT_EQ(Texts(), expected) << "before closing with " << how;
    if (std::string(how) == "Ok") {
      Click(Child(about_, IDC_ABOUT_OK_BTN));
    } else {
      PressCloseBox(about_);
    }
    WaitClosed(how);
  }
  EXPECT_EQ(TextOf(main_), kCaptionAfterStart);
}

TEST_F(AboutBoxTest, LayoutFrameIconAndBanner) {
  OpenAbout();
  // Labels size themselves to their texts: their widths are not fixed.
  ExpectPlacements(about_, {
                               {IDC_ABOUT_IMAGE1, "", 0, 0, 388, 96},
                               {IDC_ABOUT_ALL_GRP, "", 1, 97, 384, 184},
                               {IDC_ABOUT_APPLICATION_GRP, "Application", 6, 109, 249, 53},
                               {IDC_ABOUT_APPNAME_LBL, "Application Name : Quillfen", 14, 125, -1, -1},
                               {IDC_ABOUT_VERSION_LBL, "Version : 1.0.0.0", 14, 141, -1, -1},
                               {IDC_ABOUT_VELMORA_GRP, "Velmora", 261, 109, 113, 117},
                               {IDC_ABOUT_EMAIL_BTN, "Email", 269, 125, 97, 28},
                               {IDC_ABOUT_WEB_BTN, "Web Site", 269, 157, 97, 28},
                               {IDC_ABOUT_FORUM_BTN, "Forums", 269, 189, 97, 28},
                               {IDC_ABOUT_OK_BTN, "Ok", 275, 236, 81, 33},
                           });
  // The labels hold their whole texts inside the group.
  for (int id : {IDC_ABOUT_APPNAME_LBL, IDC_ABOUT_VERSION_LBL}) {
    RECT label = {}, group = {};
    GetWindowRect(Child(about_, id), &label);
    GetWindowRect(Child(about_, IDC_ABOUT_APPLICATION_GRP), &group);
    EXPECT_GT(label.right - label.left, 60) << "ID " << id;
    EXPECT_LT(label.right, group.right) << "ID " << id;
  }
  EXPECT_EQ(ClientSize(about_).cx, 389);
  EXPECT_EQ(ClientSize(about_).cy, 284);
  ExpectDialogFrame(about_);
  ExpectCentredOver(about_, main_);
  EXPECT_EQ(GetWindow(about_, GW_OWNER), main_);
  EXPECT_FALSE(IsWindowEnabled(main_)) << "the about box is not modal";

  // The banner is drawn: the program's dark blue, not the dialog's grey.
  RECT banner{};
  GetWindowRect(Child(about_, IDC_ABOUT_IMAGE1), &banner);
  Activate(about_);
  const Rgb colour = AverageScreenColour(banner);
  EXPECT_GT(colour.b, colour.r + 20) << colour.r << "," << colour.g << "," << colour.b;
  EXPECT_LT(colour.r, 120) << colour.r << "," << colour.g << "," << colour.b;

  ExpectTabOrder(about_, {IDC_ABOUT_EMAIL_BTN, IDC_ABOUT_WEB_BTN, IDC_ABOUT_FORUM_BTN, IDC_ABOUT_OK_BTN});
  SaveScreenshot(about_, JoinPath(ShotsFolder(), "about-box.bmp"));
  Click(Child(about_, IDC_ABOUT_OK_BTN));
  WaitClosed("Ok");
}

TEST_F(AboutBoxTest, LinkButtonsHandTheMakersAddressesToTheShell) {
  LinkRecorder recorder(app_->File("links.log"));
  OpenAbout();
  struct Case {
    int button;
    const char* link;
  };
  const Case cases[] = {
      {IDC_ABOUT_EMAIL_BTN, "mailto:contact@velmora.example"},
      {IDC_ABOUT_WEB_BTN, "https://velmora.example"},
      {IDC_ABOUT_FORUM_BTN, "https://velmora.example/forum"},
  };
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    Click(Child(about_, c.button));
    expected.push_back(c.link);
    const bool opened = WaitUntil([&] { return recorder.Links().size() == expected.size(); });
    EXPECT_TRUE(opened) << "the shell was not asked to open " << c.link;
    EXPECT_EQ(MessageAfterAction(), "") << c.link;
    EXPECT_TRUE(AboutShown()) << "the box closed after " << c.link;
  }
  EXPECT_EQ(recorder.Links(), expected);
  Click(Child(about_, IDC_ABOUT_OK_BTN));
  WaitClosed("Ok");
}

TEST_F(AboutBoxTest, LinkWithoutAHandlerFailsSilently) {
  // No program for the scheme: the shell's failure is not reported.
  const std::string key = "mailto\\shell\\open\\command";
  LinkRecorder recorder(app_->File("links.log"));
  WriteRegDefault(key, "\"" + app_->File("missing-handler.exe") + "\" \"%1\"");
  OpenAbout();
  Click(Child(about_, IDC_ABOUT_EMAIL_BTN));
  EXPECT_EQ(MessageAfterAction(), "");
  proc_->ExpectNoMessageBox();
  EXPECT_TRUE(AboutShown());
  Click(Child(about_, IDC_ABOUT_OK_BTN));
  WaitClosed("Ok");
}

}  // namespace
