#include "app/settings/settings_file.h"
#include "platform/profile/tests/temp_folder.h"
#include "runtime/program_path.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using settings::SettingsFile;

namespace {

using testsupport::readFile;
using testsupport::writeFile;

class Settings : public testsupport::TempFolderTest {
protected:
    void SetUp() override
    {
        TempFolderTest::SetUp();
        // Beside the program; a trailing separator is dropped.
        m_settings = SettingsFile({m_folder.string() + "/", false});
    }

    SettingsFile m_settings{{}};
};

TEST(SettingsFolder, TheProgramsFolderIsTheExecutables)
{
    const fs::path exe = fs::canonical("/proc/self/exe");
    EXPECT_EQ(runtime::programFolder(), exe.parent_path().string());
    EXPECT_EQ(SettingsFile({"/", false}).path(), "/setting.ini");
}

TEST(SettingsFolder, BesideTheProgramOnlyWhereTheUserMayKeepIt)
{
    struct Case {
        const char* name;
        settings::SettingsPlaceFacts facts;
        settings::SettingsPlace expected;
    };
    const std::string cfg = "/home/u/.config/pendrel";
    const std::vector<Case> cases = {
        {"build folder", {"/home/u/pendrel/build/", false, true, "", "/home/u"},
         {"/home/u/pendrel/build", false}},
        {"~/.local install", {"/home/u/.local/lib/pendrel", false, true, "", "/home/u"},
         {"/home/u/.local/lib/pendrel", false}},
        {"copied into a folder of the user's", {"/srv/u/p", false, true, "", "/home/u"},
         {"/srv/u/p", false}},
        {"names that only begin like a system folder", {"/usrx/p", false, true, "", "/home/u"},
         {"/usrx/p", false}},
        {"package, a user", {"/usr/lib/pendrel", false, false, "", "/home/u"}, {cfg, true}},
        {"package, root", {"/usr/lib/pendrel", false, true, "", "/root"},
         {"/root/.config/pendrel", true}},
        {"installed by root elsewhere", {"/usr/local/lib/pendrel", false, true, "", "/home/u"},
         {cfg, true}},
        {"/opt", {"/opt/pendrel", false, true, "", "/home/u"}, {cfg, true}},
        {"/lib64", {"/lib64/pendrel", false, true, "", "/home/u"}, {cfg, true}},
        {"read-only copy", {"/media/cd/pendrel", false, false, "", "/home/u"}, {cfg, true}},
        {"a file beside always wins", {"/usr/lib/pendrel", true, false, "", "/home/u"},
         {"/usr/lib/pendrel", false}},
        {"XDG_CONFIG_HOME", {"/usr/lib/pendrel", false, false, "/home/u/cfg/", "/home/u"},
         {"/home/u/cfg/pendrel", true}},
        {"relative XDG_CONFIG_HOME", {"/usr/lib/pendrel", false, false, "cfg", "/home/u"},
         {cfg, true}},
        {"home is the root folder", {"/usr/lib/pendrel", false, false, "", "/"},
         {"/.config/pendrel", true}},
        {"no home at all", {"/usr/lib/pendrel", false, false, "", ""},
         {"/usr/lib/pendrel", false}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(settings::settingsPlaceFor(c.facts), c.expected) << c.name;
    }
}

TEST_F(Settings, OwnFolderIsMadeOnTheFirstWriteAndLeftoversGoAtStartUp)
{
    // The program in a system folder: the settings go to $XDG_CONFIG_HOME/pendrel.
    const fs::path config = m_folder / "config" / "deeper";
    const fs::path own = config / "pendrel";
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string savedValue = saved ? saved : "";
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    SettingsFile file = SettingsFile::forProgram("/usr/bin");
    EXPECT_EQ(file.path(), (own / "setting.ini").string());
    EXPECT_EQ(file.ReadIni("Show", "Message"), "");
    EXPECT_FALSE(fs::exists(config)) << "made before anything was written";
    ASSERT_TRUE(file.WriteIni("Show", "Message", "1").ok);
    EXPECT_EQ(readFile(own / "setting.ini"), "[Show]\nMessage=1\n");
    struct stat st {};
    ASSERT_EQ(::stat(own.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A killed writer's temporary file an hour old goes at the next start; one just written
    // may belong to a writer at work and stays.
    const fs::path old = own / ".setting.ini.a1B2c3";
    const fs::path fresh = own / ".setting.ini.Z9y8X7";
    writeFile(old, "[Show]\n");
    writeFile(fresh, "[Show]\n");
    fs::last_write_time(old, fs::last_write_time(old) - std::chrono::hours(1));
    file = SettingsFile::forProgram("/usr/bin");
    EXPECT_FALSE(fs::exists(old));
    EXPECT_TRUE(fs::exists(fresh));
    EXPECT_EQ(file.ReadIni("Show", "Message"), "1");

    // A folder that cannot be made is a failed write, reported.
    fs::remove_all(m_folder / "config");
    writeFile(m_folder / "config", "");
    const auto result = file.WriteIni("Show", "Message", "1");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, ENOTDIR);

    if (saved) {
        ::setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}

TEST_F(Settings, FirstStartThenHourPlusThenTransmitOnWritesThreeSections)
{
    EXPECT_EQ(m_settings.path(), (m_folder / "setting.ini").string());
    // Start-up reads everything from a missing file as empty text.
    EXPECT_EQ(m_settings.ReadIni("Show", "Message"), "");
    EXPECT_TRUE(m_settings.WriteIni("Show", "Message", "1").ok);
    for (const char* key : {"Date", "Hour", "Min"}) {
        EXPECT_EQ(m_settings.ReadIni("Advance", key), "") << key;
    }
    EXPECT_EQ(m_settings.ReadIni("Transmit", "State"), "");
    EXPECT_TRUE(m_settings.WriteIni("Advance", "Hour", "1").ok);
    EXPECT_TRUE(m_settings.WriteIni("Transmit", "State", "1").ok);

    EXPECT_EQ(readFile(m_file),
              "[Show]\nMessage=1\n[Advance]\nHour=1\n[Transmit]\nState=1\n");
    EXPECT_EQ(m_settings.ReadIni("Show", "Message"), "1");
    EXPECT_EQ(m_settings.ReadIni("Advance", "Hour"), "1");
    EXPECT_EQ(m_settings.ReadIni("Transmit", "State"), "1");
}

TEST_F(Settings, ChangingAnAdvanceTwiceKeepsOneLineWithTheLastValue)
{
    ASSERT_TRUE(m_settings.WriteIni("Advance", "Date", "-1").ok);
    ASSERT_TRUE(m_settings.WriteIni("Advance", "Date", "-2").ok);
    EXPECT_EQ(readFile(m_file), "[Advance]\nDate=-2\n");
    EXPECT_EQ(m_settings.ReadIni("Advance", "Date"), "-2");
}

TEST_F(Settings, StoredTextComesBackAsTheFileHoldsIt)
{
    // The window decides what the text means; ReadIni must not interpret it.
    struct Stored {
        std::string line;
        std::string expected;
    };
    const std::vector<Stored> cases = {
        {"State=1", "1"},     {"State=0", "0"},   {"State=", ""},
        {"State=yes", "yes"}, {"State=01", "01"}, {"State = \"1\"", "1"},
        {"State=" + std::string(1500, '7'), std::string(1023, '7')},
        {std::string("State=1\0002", 9), "1"},
    };
    for (const auto& c : cases) {
        writeFile(m_file, "[Transmit]\n" + c.line + "\n");
        EXPECT_EQ(m_settings.ReadIni("Transmit", "State"), c.expected) << c.line.size();
    }
}

TEST_F(Settings, FailedWriteIsReportedAndTheOldValueStays)
{
    ASSERT_TRUE(m_settings.WriteIni("Advance", "Min", "5").ok);
    // A folder in the file's place stops root as well as anyone.
    const fs::path blocked = m_folder / "blocked";
    fs::create_directories(blocked / "setting.ini");
    const SettingsFile blockedFile({blocked.string(), false});
    const auto result = blockedFile.WriteIni("Advance", "Min", "6");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, EISDIR);
    EXPECT_EQ(result.reason, "Is a directory");
    EXPECT_EQ(blockedFile.ReadIni("Advance", "Min"), "");
    EXPECT_EQ(m_settings.ReadIni("Advance", "Min"), "5");
}

TEST_F(Settings, AdvancesReadAsTheWindowReadsThemAndAnOverflowCountsAsZero)
{
    writeFile(m_file, "[Advance]\nDate=2.5\nHour=&H10\nMin=40000\n");
    const settings::StoredAdvances advances = settings::readAdvances(m_settings);
    EXPECT_EQ(advances.days.value, 2);  // a half goes to the even neighbour
    EXPECT_EQ(advances.hours.value, 16);
    EXPECT_EQ(advances.minutes.value, 0);
    EXPECT_TRUE(advances.minutes.overflowed);
    EXPECT_EQ(advances.minutes.text, "40000");
    EXPECT_FALSE(advances.days.overflowed);

    fs::remove(m_file);
    const settings::StoredAdvances none = settings::readAdvances(m_settings);
    EXPECT_EQ(none.days.value + none.hours.value + none.minutes.value, 0);
}

}  // namespace
