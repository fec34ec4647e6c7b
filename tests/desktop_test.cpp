// What names the program for the desktop's shell, as `cmake --install` lays it out: the
// desktop entry, checked by desktop-file-validate, and the icon in the hicolor theme; and the
// X11 window that must match them.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/updater.h"
#include "tests/support/xvfb.h"

namespace orvandale {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::readFile;
using testing::TempDir;

constexpr const char* entryName = "OrvandaleUpdateProgress.desktop";
constexpr const char* iconName = "orvandale-update-progress";

// The keys of a desktop entry's [Desktop Entry] group.
std::map<std::string, std::string> entryKeys(const std::string& text) {
  std::map<std::string, std::string> keys;
  std::istringstream lines(text);
  std::string line;
  bool inGroup = false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.front() == '[') inGroup = line == "[Desktop Entry]";
    const auto equals = line.find('=');
    if (inGroup && equals != std::string::npos) keys[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return keys;
}

class DesktopTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    prefix = std::make_unique<TempDir>();
    ChildProcess install({ORVANDALE_CMAKE, "--install", ORVANDALE_BUILD_DIR, "--prefix", prefix->path().string()}, {});
    installed = install.wait(60s) == 0;
  }
  static void TearDownTestSuite() { prefix.reset(); }

  void SetUp() override { ASSERT_TRUE(installed) << "cmake --install failed"; }

  static std::filesystem::path entry() { return prefix->path() / "share/applications" / entryName; }

  static inline std::unique_ptr<TempDir> prefix;
  static inline bool installed = false;
};

TEST_F(DesktopTest, TheEntryPassesDesktopFileValidateAndNamesTheProgramHiddenFromMenus) {
  ChildProcess validate({"desktop-file-validate", entry().string()}, {});
  EXPECT_EQ(validate.wait(30s), 0);
  EXPECT_EQ(validate.standardOutput() + validate.standardError(), "") << "desktop-file-validate found faults";

  const auto keys = entryKeys(readFile(entry()));
  const std::map<std::string, std::string> expected = {
      {"Type", "Application"},
      {"Name", "Orvandale Update"},
      {"NoDisplay", "true"},
      {"Icon", iconName},
      // The entry's name is the program's Wayland app id; its StartupWMClass the X11 class.
      {"StartupWMClass", "OrvandaleUpdateProgress"},
  };
  for (const auto& [key, value] : expected) {
    EXPECT_EQ(keys.count(key) ? keys.at(key) : "<absent>", value) << key;
  }
  EXPECT_EQ(keys.count("Exec") ? keys.at("Exec").substr(0, keys.at("Exec").find(' ')) : "<absent>",
            "OrvandaleUpdateProgress");
}

TEST_F(DesktopTest, TheIconIsInTheHicolorThemeAtEverySizeAndScalable) {
  const std::filesystem::path theme = prefix->path() / "share/icons/hicolor";
  for (const std::uint32_t size : {16u, 22u, 24u, 32u, 48u, 64u, 128u, 256u}) {
    const std::string folder = std::to_string(size) + "x" + std::to_string(size);
    EXPECT_EQ(testing::pngSize(readFile(theme / folder / "apps" / (std::string(iconName) + ".png"))),
              std::make_pair(size, size))
        << folder;
  }
  const std::string svg = readFile(theme / "scalable/apps" / (std::string(iconName) + ".svg"));
  EXPECT_TRUE(std::regex_search(svg, std::regex(R"(<svg[^>]*viewBox="0 0 (\d+) \1")"))) << "no square SVG: " << svg.substr(0, 200);
}

// The window as the X11 shell sees it: its class names the entry, and it carries the icon.
TEST_F(DesktopTest, TheX11WindowCarriesTheEntrysClassAndTheIcon) {
  testing::XvfbServer xvfb;
  ASSERT_FALSE(xvfb.display().empty()) << "Xvfb did not start";
  TempDir dir;
  testing::writeFile(dir / "session.json", testing::sessionStartedAgo());
  ChildProcess program({ORVANDALE_PROGRAM, dir.path().string()},
                       {.environment = {{"DISPLAY", xvfb.display()}, {"QT_QPA_PLATFORM", "xcb"}}});
  ASSERT_TRUE(testing::waitForFile(dir / "display.json", 20s));
  const auto window = nlohmann::json::parse(readFile(dir / "ready.json")).at("windowId").get<std::int64_t>();

  ChildProcess xprop({"xprop", "-id", std::to_string(window), "WM_CLASS", "_NET_WM_ICON"},
                     {.environment = {{"DISPLAY", xvfb.display()}}});
  ASSERT_EQ(xprop.wait(20s), 0);
  const std::string properties = xprop.standardOutput();
  const auto keys = entryKeys(readFile(entry()));
  const std::string wmClass = keys.count("StartupWMClass") ? keys.at("StartupWMClass") : "<absent>";
  EXPECT_NE(properties.find(R"(WM_CLASS(STRING) = ")" + wmClass + R"(", ")" + wmClass + R"(")"), std::string::npos)
      << "the window's class is not the entry's StartupWMClass " << wmClass << ":\n" << properties.substr(0, 300);
  for (const char* size : {"Icon (16 x 16)", "Icon (32 x 32)", "Icon (48 x 48)"}) {
    EXPECT_NE(properties.find(size), std::string::npos) << size << " missing from _NET_WM_ICON";
  }
  program.kill();
}

}  // namespace
}  // namespace orvandale
