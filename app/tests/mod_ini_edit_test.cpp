#include "app/mod_ini_edit.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

namespace fs = std::filesystem;
using app::ReadIni;
using app::WriteIni;

namespace {

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

class Settings : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "pendrel-settings-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_folder = pattern;
        app::setProgramFolder(m_folder.string() + "/");
        m_file = m_folder / "setting.ini";
    }
    void TearDown() override { fs::remove_all(m_folder); }

    fs::path m_folder;
    fs::path m_file;
};

TEST(SettingsFolder, DefaultsToTheExecutablesFolder)
{
    app::setProgramFolder("");
    const fs::path exe = fs::canonical("/proc/self/exe");
    EXPECT_EQ(app::settingsPath(), (exe.parent_path() / "setting.ini").string());
    app::setProgramFolder("/");
    EXPECT_EQ(app::settingsPath(), "/setting.ini");
}

TEST_F(Settings, FirstStartThenHourPlusThenTransmitOnWritesThreeSections)
{
    EXPECT_EQ(app::settingsPath(), (m_folder / "setting.ini").string());
    // Start-up reads everything from a missing file as empty text.
    EXPECT_EQ(ReadIni("Show", "Message"), "");
    EXPECT_TRUE(WriteIni("Show", "Message", "1").ok);
    for (const char* key : {"Date", "Hour", "Min"}) {
        EXPECT_EQ(ReadIni("Advance", key), "") << key;
    }
    EXPECT_EQ(ReadIni("Transmit", "State"), "");
    EXPECT_TRUE(WriteIni("Advance", "Hour", "1").ok);
    EXPECT_TRUE(WriteIni("Transmit", "State", "1").ok);

    EXPECT_EQ(readFile(m_file),
              "[Show]\nMessage=1\n[Advance]\nHour=1\n[Transmit]\nState=1\n");
    EXPECT_EQ(ReadIni("Show", "Message"), "1");
    EXPECT_EQ(ReadIni("Advance", "Hour"), "1");
    EXPECT_EQ(ReadIni("Transmit", "State"), "1");
}

TEST_F(Settings, ChangingAnAdvanceTwiceKeepsOneLineWithTheLastValue)
{
    ASSERT_TRUE(WriteIni("Advance", "Date", "-1").ok);
    ASSERT_TRUE(WriteIni("Advance", "Date", "-2").ok);
    EXPECT_EQ(readFile(m_file), "[Advance]\nDate=-2\n");
    EXPECT_EQ(ReadIni("Advance", "Date"), "-2");
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
        EXPECT_EQ(ReadIni("Transmit", "State"), c.expected) << c.line.size();
    }
}

TEST_F(Settings, FailedWriteIsReportedAndTheOldValueStays)
{
    ASSERT_TRUE(WriteIni("Advance", "Min", "5").ok);
    // A folder in the file's place stops root as well as anyone.
    const fs::path blocked = m_folder / "blocked";
    fs::create_directories(blocked / "setting.ini");
    app::setProgramFolder(blocked.string());
    const auto result = WriteIni("Advance", "Min", "6");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, EISDIR);
    EXPECT_EQ(result.reason, "Is a directory");
    EXPECT_EQ(ReadIni("Advance", "Min"), "");

    app::setProgramFolder(m_folder.string());
    EXPECT_EQ(ReadIni("Advance", "Min"), "5");
}

}  // namespace
