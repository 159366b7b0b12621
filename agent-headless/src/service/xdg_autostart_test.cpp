#include "service/xdg_autostart.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace zunel {
namespace {

TEST(XdgAutostart, EntryPathFromXdgConfigHomeThenHome) {
  using Opt = std::optional<std::string>;
  struct Case {
    Opt xdg;
    Opt home;
    const char* path;  // nullptr: fails
  } cases[] = {
      {"/cfg", "/home/ana", "/cfg/autostart/ZunelPrintAgent.desktop"},
      {std::nullopt, "/home/ana", "/home/ana/.config/autostart/ZunelPrintAgent.desktop"},
      {"", "/home/ana", "/home/ana/.config/autostart/ZunelPrintAgent.desktop"},
      {"relative/cfg", "/home/ana", "/home/ana/.config/autostart/ZunelPrintAgent.desktop"},
      {"/cfg", std::nullopt, "/cfg/autostart/ZunelPrintAgent.desktop"},
      {std::nullopt, std::nullopt, nullptr},
      {"", "", nullptr},
      {"cfg", "home/ana", nullptr},
  };
  for (const auto& c : cases) {
    const auto got = xdg_autostart_entry_path(c.xdg, c.home);
    if (c.path == nullptr) {
      ASSERT_FALSE(got.ok());
      EXPECT_EQ(got.error(), "no se pudo resolver %APPDATA%");
    } else {
      ASSERT_TRUE(got.ok()) << c.path;
      EXPECT_EQ(got.value().generic_string(), c.path);
    }
  }
}

TEST(XdgAutostart, DesktopEntryRunsTheQuotedExecutable) {
  EXPECT_EQ(desktop_entry_text("/opt/zunel/zunel-print-agent"),
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Zunel print agent\n"
            "Exec=\"/opt/zunel/zunel-print-agent\" run\n"
            "NoDisplay=true\n"
            "X-GNOME-Autostart-enabled=true\n");
}

TEST(XdgAutostart, SpecialCharactersInThePathAreEscaped) {
  struct Case {
    const char* path;
    const char* exec_line;
  } cases[] = {
      {"/opt/mi agente/a", "Exec=\"/opt/mi agente/a\" run"},
      {"/opt/a\"b", "Exec=\"/opt/a\\\\\"b\" run"},
      {"/opt/$HOME/`x`", "Exec=\"/opt/\\\\$HOME/\\\\`x\\\\`\" run"},
      {"/opt/a\\b", "Exec=\"/opt/a\\\\\\\\b\" run"},
      {"/opt/100%/a", "Exec=\"/opt/100%%/a\" run"},
      {"/opt/a\nb", "Exec=\"/opt/a\\nb\" run"},
      {"/opt/Ñandú/a", "Exec=\"/opt/Ñandú/a\" run"},
  };
  for (const auto& c : cases) {
    const std::string text = desktop_entry_text(c.path);
    EXPECT_NE(text.find(std::string("\n") + c.exec_line + "\n"), std::string::npos) << text;
    // Exactly six lines: no path character can start a line of its own.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6) << text;
  }
}

}  // namespace
}  // namespace zunel
