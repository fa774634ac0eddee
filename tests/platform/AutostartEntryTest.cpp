#include "platform/AutostartEntry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/Files.h"
#include "support/TestPaths.h"

namespace {

std::string ExecLine(const std::string& program) {
    const std::string text = AutostartEntry::Contents(program);
    const size_t start = text.find("\nExec=") + 6;
    return text.substr(start, text.find('\n', start) - start);
}

TEST(AutostartEntry, StartsTheProgramByItsAbsolutePathWhateverCharactersItHolds) {
    EXPECT_EQ(ExecLine("/usr/bin/zingwell"), "/usr/bin/zingwell");
    // Quoted where the launcher would split or expand, with the quoting's own escapes, then
    // the escapes every text of the file has: a backslash doubles, a percent sign too.
    EXPECT_EQ(ExecLine("/home/u/my apps/zingwell"), "\"/home/u/my apps/zingwell\"");
    EXPECT_EQ(ExecLine("/opt/a\"b$c`d\\e/zingwell"),
              "\"/opt/a\\\\\"b\\\\$c\\\\`d\\\\\\\\e/zingwell\"");
    EXPECT_EQ(ExecLine("/opt/100%/zingwell"), "/opt/100%%/zingwell");
    const std::string text = AutostartEntry::Contents("/usr/bin/zingwell");
    EXPECT_EQ(text.substr(0, 16), "[Desktop Entry]\n");
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
}

TEST(AutostartEntry, IsWrittenAndRemovedAndReadAsTheDesktopReadsIt) {
    const std::string config = TestPaths::NewFolder("config") + "/deeper";
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    EXPECT_EQ(AutostartEntry::Path(), config + "/autostart/zingwell.desktop");
    EXPECT_FALSE(AutostartEntry::Enabled());
    EXPECT_TRUE(AutostartEntry::Disable());  // nothing there is no failure

    ASSERT_TRUE(AutostartEntry::Enable("/usr/bin/zingwell"));  // the folders are made
    EXPECT_TRUE(AutostartEntry::Enabled());
    EXPECT_EQ(ReadFile(AutostartEntry::Path()), AutostartEntry::Contents("/usr/bin/zingwell"));
    EXPECT_FALSE(AutostartEntry::Enable("zingwell"));  // only an absolute path starts it

    // Turned off by the desktop's own settings, the entry stays but does not count.
    for (const char* off : {"Hidden=true", "X-GNOME-Autostart-enabled=false"}) {
        WriteFile(AutostartEntry::Path(), std::string("[Desktop Entry]\nExec=/x\n") + off + "\n");
        EXPECT_FALSE(AutostartEntry::Enabled()) << off;
    }
    ASSERT_TRUE(AutostartEntry::Disable());
    EXPECT_FALSE(FileExists(AutostartEntry::Path()));

    // A relative XDG_CONFIG_HOME is not to be used: the home's .config is.
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(AutostartEntry::Path(), TestPaths::Home() + "/.config/autostart/zingwell.desktop");
}

}  // namespace
