#include "platform/profile/profile_file.h"
#include "platform/profile/tests/temp_folder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using platform::getPrivateProfileString;
using platform::writePrivateProfileString;

namespace {

using testsupport::readFile;
using testsupport::writeFile;

class ProfileFile : public testsupport::TempFolderTest {
protected:
    std::string read(const std::string& section, const std::string& key,
                     std::size_t size = 1024) const
    {
        return getPrivateProfileString(section, key, "", size, m_file.string());
    }
};

// --- Reading ----------------------------------------------------------------------------------

struct ReadCase {
    const char* name;
    std::string content;
    const char* section;
    const char* key;
    std::string expected;
};

TEST_F(ProfileFile, ReadsValuesAsWindowsDoes)
{
    const std::string longValue(2000, 'x');
    const std::vector<ReadCase> cases = {
        {"plain", "[Advance]\nHour=5\n", "Advance", "Hour", "5"},
        {"names ignore case", "[aDVANCE]\nhOUR=5\n", "Advance", "HOUR", "5"},
        {"blanks around names and value", "  [ Advance ]  \n\t Hour \t=  -3  \n", "Advance", "Hour",
         "-3"},
        {"blanks inside a value stay", "[a]\nk= x  y \n", "a", "k", "x  y"},
        {"double quotes", "[a]\nk=\" 1 \"\n", "a", "k", " 1 "},
        {"single quotes", "[a]\nk='1'\n", "a", "k", "1"},
        {"mismatched quotes stay", "[a]\nk=\"1'\n", "a", "k", "\"1'"},
        {"a lone quote stays", "[a]\nk=\"\n", "a", "k", "\""},
        {"quote only at one end stays", "[a]\nk=\"1\n", "a", "k", "\"1"},
        {"empty value", "[a]\nk=\nm=2\n", "a", "k", ""},
        {"CRLF line ends", "[a]\r\nk=1\r\nm=2\r\n", "a", "m", "2"},
        {"no line end at the end", "[a]\nk=7", "a", "k", "7"},
        {"missing key", "[a]\nk=1\n", "a", "x", ""},
        {"missing section", "[a]\nk=1\n", "b", "k", ""},
        {"key of another section", "[a]\nk=1\n[b]\nm=2\n", "b", "k", ""},
        {"first of duplicate keys", "[a]\nk=1\nK=2\n", "a", "k", "1"},
        {"first of duplicate sections", "[a]\nk=1\n[b]\n[A]\nk=2\n", "a", "k", "1"},
        {"key only in a later duplicate section", "[a]\nm=1\n[A]\nk=2\n", "a", "k", ""},
        {"comment is no key", "[a]\n;k=1\n k=2\n", "a", "k", "2"},
        {"line without = has no value", "[a]\nk\nk=2\n", "a", "k", ""},
        {"[ without ] is no header", "[a]\n[b\nk=1\n", "a", "k", "1"},
        {"text after ] ignored", "[a] ; note\nk=1\n", "a", "k", "1"},
        {"brackets inside a name", "[[a]]\nk=1\n", "[a]", "k", "1"},
        {"key before any section", "k=1\n[a]\n", "a", "k", ""},
        {"= inside the value", "[a]\nk=x=y\n", "a", "k", "x=y"},
        {"value cut to 1023 bytes", "[a]\nk=" + longValue + "\n", "a", "k", std::string(1023, 'x')},
        {"NUL bytes come back raw", std::string("[a]\nk=1\0002\n", 9), "a", "k",
         std::string("1\0002", 3)},
        {"Shift-JIS bytes come back raw", "[a]\nk=\x93\xfa\x96\x7b\n", "a", "k",
         "\x93\xfa\x96\x7b"},
        {"empty file", "", "a", "k", ""},
        {"UTF-8 byte order mark", "\xEF\xBB\xBF[a]\r\nk=1\r\n", "a", "k", "1"},
    };
    for (const auto& c : cases) {
        writeFile(m_file, c.content);
        EXPECT_EQ(read(c.section, c.key), c.expected) << c.name;
    }
}

TEST_F(ProfileFile, ReadGivesTheDefaultCutToTheBuffer)
{
    EXPECT_EQ(getPrivateProfileString("a", "k", "fallback", 1024, m_file.string()), "fallback");
    EXPECT_EQ(getPrivateProfileString("a", "k", "fallback", 4, m_file.string()), "fal");
    writeFile(m_file, "[a]\nk=12345\n");
    EXPECT_EQ(read("a", "k", 3), "12");
    EXPECT_EQ(read("a", "k", 0), "");
}

// --- Writing ----------------------------------------------------------------------------------

struct WriteCase {
    const char* name;
    std::string before;
    const char* section;
    const char* key;
    const char* value;
    std::string after;
};

TEST_F(ProfileFile, WritesChangeOnlyTheirOwnLine)
{
    const std::vector<WriteCase> cases = {
        {"empty file", "", "Show", "Message", "1", "[Show]\nMessage=1\n"},
        {"replace in place", "[a]\nk=1\nm=2\n", "a", "k", "9", "[a]\nk=9\nm=2\n"},
        {"replace keeps the key's spelling, drops blanks", "[a]\n  kEy  =  1  \n", "A", "KEY", "-5",
         "[a]\nkEy=-5\n"},
        {"new key after the section's last key, before blank line and comment",
         "[a]\nk=1\n\n; next\n[b]\nm=2\n", "a", "n", "3", "[a]\nk=1\nn=3\n\n; next\n[b]\nm=2\n"},
        {"new key in an empty section", "[a]\n\n[b]\n", "a", "k", "1", "[a]\nk=1\n\n[b]\n"},
        {"new key after an unterminated last line", "[a]\nk=1", "a", "m", "2", "[a]\nk=1\nm=2"},
        {"new section at the end", "[a]\nk=1\n", "b", "m", "2", "[a]\nk=1\n[b]\nm=2\n"},
        {"new section after an unterminated line", "; c", "b", "m", "2", "; c\n[b]\nm=2\n"},
        {"CRLF file stays CRLF", "[a]\r\nk=1\r\n", "a", "m", "2", "[a]\r\nk=1\r\nm=2\r\n"},
        {"new section in a CRLF file", "[a]\r\nk=1\r\n", "b", "m", "2",
         "[a]\r\nk=1\r\n[b]\r\nm=2\r\n"},
        {"replaced line keeps its own line end", "[a]\nk=1\r\nm=2\n", "a", "k", "3",
         "[a]\nk=3\r\nm=2\n"},
        {"only the first duplicate key changes", "[a]\nk=1\nk=2\n", "a", "k", "3",
         "[a]\nk=3\nk=2\n"},
        {"only the first duplicate section", "[a]\n[b]\n[a]\nk=1\n", "a", "k", "2",
         "[a]\nk=2\n[b]\n[a]\nk=1\n"},
        {"line without = gets its value", "[a]\nk\n", "a", "k", "1", "[a]\nk=1\n"},
        {"comment that looks like the key stays; a section without keys gets it first",
         "[a]\n;k=1\n", "a", "k", "2", "[a]\nk=2\n;k=1\n"},
        {"[ without ] is a key line of the section", "[a]\n[b\n", "a", "k", "1", "[a]\n[b\nk=1\n"},
        {"empty value", "[a]\nk=1\n", "a", "k", "", "[a]\nk=\n"},
        {"names are trimmed", "", " a ", " k ", "1", "[a]\nk=1\n"},
        {"UTF-8 byte order mark stays", "\xEF\xBB\xBF[a]\n", "a", "k", "1",
         "\xEF\xBB\xBF[a]\nk=1\n"},
        {"Shift-JIS comment and binary bytes survive",
         "; \x90\xdd\x92\xe8\r\n[a]\r\nz=\xff\xfe\x80\r\n", "a", "z", "0",
         "; \x90\xdd\x92\xe8\r\n[a]\r\nz=0\r\n"},
    };
    for (const auto& c : cases) {
        writeFile(m_file, c.before);
        const auto result = writePrivateProfileString(c.section, c.key, c.value, m_file.string());
        EXPECT_TRUE(result.ok) << c.name << ": " << result.reason;
        EXPECT_EQ(readFile(m_file), c.after) << c.name;
    }
}

TEST_F(ProfileFile, HandEditedWindowsFileChangedByOneWrite)
{
    // As a user might bring it over from a Windows PC: CRLF, comments in Shift-JIS, blank
    // lines, mixed case, quotes, a section this program does not know, no line end at the end.
    const std::string before =
        "; \x83\x79\x83\x93\x83\x68\x83\x8c\x83\x8b\x82\xcc\x90\xdd\x92\xe8\r\n"
        "[SHOW]\r\n"
        "message = \"1\"\r\n"
        "\r\n"
        "[advance]\r\n"
        "  date = -3\r\n"
        "HOUR='2'\r\n"
        "; minutes below\r\n"
        "\r\n"
        "[Window]\r\n"
        "Left=120";
    // The hour's line alone changes, and keeps its key as it was written.
    std::string after = before;
    after.replace(after.find("HOUR='2'"), 8, "HOUR=3");
    writeFile(m_file, before);
    EXPECT_EQ(read("Show", "Message"), "1");
    EXPECT_EQ(read("Advance", "Date"), "-3");
    EXPECT_EQ(read("Advance", "Hour"), "2");

    ASSERT_TRUE(writePrivateProfileString("Advance", "Hour", "3", m_file.string()).ok);
    EXPECT_EQ(readFile(m_file), after);

    ASSERT_TRUE(writePrivateProfileString("Advance", "Min", "-1", m_file.string()).ok);
    ASSERT_TRUE(writePrivateProfileString("Transmit", "State", "1", m_file.string()).ok);
    // A new key follows the last key of its section; a new section goes at the end, after the
    // line end the last line lacked.
    std::string expected = after;
    expected.insert(expected.find("; minutes below"), "Min=-1\r\n");
    expected += "\r\n[Transmit]\r\nState=1\r\n";
    EXPECT_EQ(readFile(m_file), expected);
}

TEST_F(ProfileFile, RefusesTextThatWouldChangeTheFileStructure)
{
    const std::string before = "[a]\nk=1\n";
    struct Refused {
        const char* section;
        const char* key;
        std::string value;
    };
    const std::vector<Refused> cases = {
        {"", "k", "1"},
        {"a", " ", "1"},
        {"a]", "k", "1"},
        {"a\nb", "k", "1"},
        {"a", "k=x", "1"},
        {"a", "[k]", "1"},
        {"a", ";k", "1"},
        {"a", "k\rx", "1"},
        {"a", "k", "1\nState=1"},
        {"a", "k", "1\r"},
        {"a", "k", std::string("1\0002", 3)},
    };
    for (const auto& c : cases) {
        writeFile(m_file, before);
        const auto result = writePrivateProfileString(c.section, c.key, c.value, m_file.string());
        EXPECT_FALSE(result.ok) << c.section << "/" << c.key << "/" << c.value;
        EXPECT_FALSE(result.reason.empty());
        EXPECT_EQ(readFile(m_file), before);
    }
}

TEST_F(ProfileFile, NewFileIsCreatedReadableAndUnchangedWriteLeavesFileAlone)
{
    ASSERT_TRUE(writePrivateProfileString("a", "k", "1", m_file.string()).ok);
    struct stat st {};
    ASSERT_EQ(::stat(m_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    ::chmod(m_file.c_str(), 0600);
    const ino_t inode = st.st_ino;
    ASSERT_TRUE(writePrivateProfileString("a", "k", "1", m_file.string()).ok);
    ASSERT_EQ(::stat(m_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, inode) << "same value rewrote the file";

    ASSERT_TRUE(writePrivateProfileString("a", "k", "2", m_file.string()).ok);
    ASSERT_EQ(::stat(m_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file's permissions were not kept";
    EXPECT_EQ(read("a", "k"), "2");
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(m_folder), fs::directory_iterator()), 1);
}

// --- Links and things in the file's place -----------------------------------------------------

TEST_F(ProfileFile, WritesThroughSymbolicLinksAndKeepsThem)
{
    fs::create_directory(m_folder / "real");
    const fs::path target = m_folder / "real" / "store.ini";
    writeFile(target, "[a]\nk=1\n");

    struct LinkCase {
        const char* name;
        fs::path linkTarget;
    };
    const std::vector<LinkCase> cases = {
        {"absolute link", target},
        {"relative link", fs::path("real") / "store.ini"},
    };
    for (const auto& c : cases) {
        fs::remove(m_file);
        fs::create_symlink(c.linkTarget, m_file);
        const std::string value = std::string("via ") + c.name;
        ASSERT_TRUE(writePrivateProfileString("a", "k", value, m_file.string()).ok) << c.name;
        EXPECT_TRUE(fs::is_symlink(m_file)) << c.name;
        EXPECT_EQ(read("a", "k"), value) << c.name;
        EXPECT_EQ(readFile(target), "[a]\nk=" + value + "\n") << c.name;
    }

    // A link to a file that does not exist yet creates the file it names.
    fs::remove(m_file);
    fs::create_symlink(m_folder / "real" / "new.ini", m_file);
    ASSERT_TRUE(writePrivateProfileString("a", "k", "1", m_file.string()).ok);
    EXPECT_TRUE(fs::is_symlink(m_file));
    EXPECT_EQ(readFile(m_folder / "real" / "new.ini"), "[a]\nk=1\n");

    // A loop of links is an error, not a hang.
    fs::remove(m_file);
    fs::create_symlink(m_folder / "loop", m_file);
    fs::create_symlink(m_file, m_folder / "loop");
    EXPECT_EQ(writePrivateProfileString("a", "k", "1", m_file.string()).error, ELOOP);
    EXPECT_EQ(read("a", "k"), "");
}

TEST_F(ProfileFile, SomethingElseInTheFilesPlaceIsNeitherReadNorReplaced)
{
    struct PlaceCase {
        const char* name;
        void (*make)(const fs::path&);
    };
    const std::vector<PlaceCase> cases = {
        {"folder", [](const fs::path& p) { fs::create_directory(p); }},
        {"pipe", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }},
    };
    for (const auto& c : cases) {
        fs::remove_all(m_file);
        c.make(m_file);
        EXPECT_EQ(read("a", "k"), "") << c.name;
        const auto result = writePrivateProfileString("a", "k", "1", m_file.string());
        EXPECT_FALSE(result.ok) << c.name;
        EXPECT_FALSE(result.reason.empty()) << c.name;
        EXPECT_FALSE(fs::is_regular_file(m_file)) << c.name;
    }
}

TEST_F(ProfileFile, UnreadableFileIsNotReplaced)
{
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions do not stop root from reading";
    }
    writeFile(m_file, "[a]\nk=1\n");
    ::chmod(m_file.c_str(), 0200);
    const auto result = writePrivateProfileString("a", "m", "2", m_file.string());
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, EACCES);
    ::chmod(m_file.c_str(), 0644);
    EXPECT_EQ(readFile(m_file), "[a]\nk=1\n");
}

// --- Failed writes, in ways that stop root as well ---------------------------------------------

TEST_F(ProfileFile, WriteIntoAFolderThatIsARegularFileFails)
{
    writeFile(m_folder / "notafolder", "x");
    const auto result = writePrivateProfileString(
        "a", "k", "1", (m_folder / "notafolder" / "setting.ini").string());
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, ENOTDIR);
    EXPECT_EQ(result.reason, "Not a directory");
    EXPECT_EQ(readFile(m_folder / "notafolder"), "x");
}

TEST_F(ProfileFile, WriteIntoARemovedFolderFails)
{
    const fs::path gone = m_folder / "gone";
    fs::create_directory(gone);
    const std::string path = (gone / "setting.ini").string();
    ASSERT_TRUE(writePrivateProfileString("a", "k", "1", path).ok);
    fs::remove_all(gone);
    const auto result = writePrivateProfileString("a", "k", "2", path);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, ENOENT);
    EXPECT_FALSE(fs::exists(gone));
}

bool writeProcFile(const char* path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

// In a new user namespace files can only be created once our own ids are mapped in it.
bool mapOwnIds(uid_t uid, gid_t gid)
{
    const auto identity = [](unsigned id) {
        return std::to_string(id) + " " + std::to_string(id) + " 1";
    };
    return writeProcFile("/proc/self/setgroups", "deny") &&
           writeProcFile("/proc/self/uid_map", identity(uid)) &&
           writeProcFile("/proc/self/gid_map", identity(gid));
}

// Runs `scenario` in a child with its own mount namespace and a fresh tmpfs of `size` at
// `folder`, and fails the test with the scenario's complaint unless that is empty. The test is
// skipped where this machine does not allow the mount.
void inPrivateTmpfs(const fs::path& folder, const char* size,
                    std::string (*scenario)(const fs::path&))
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        const uid_t uid = ::geteuid();
        const gid_t gid = ::getegid();
        const bool root = uid == 0;
        if (::unshare(root ? CLONE_NEWNS : (CLONE_NEWUSER | CLONE_NEWNS)) != 0 ||
            (!root && !mapOwnIds(uid, gid)) ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", folder.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) !=
                0) {
            ::_exit(77);
        }
        const std::string complaint = scenario(folder);
        if (!complaint.empty() && ::write(fds[1], complaint.data(), complaint.size()) < 0) {
            ::_exit(2);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string complaint;
    char buffer[256];
    ssize_t n = 0;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
        complaint.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "mounting a tmpfs is not allowed here";
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child failed";
    EXPECT_EQ(complaint, "");
}

TEST_F(ProfileFile, WriteOnAFullDiskFailsAndKeepsTheOldFile)
{
    inPrivateTmpfs(m_folder, "64k", [](const fs::path& folder) -> std::string {
        const std::string path = (folder / "setting.ini").string();
        const std::string old = "[Advance]\nHour=1\n" + std::string(20000, ';') + "\n";
        writeFile(path, old);
        {
            // Fill the disk.
            std::ofstream filler(folder / "filler", std::ios::binary);
            const std::string block(4096, 'f');
            for (int i = 0; i < 64 && filler; ++i) {
                filler << block << std::flush;
            }
        }
        const auto result = writePrivateProfileString("Advance", "Hour", "2", path);
        if (result.ok) {
            return "the write on a full disk claimed success";
        }
        if (result.error != ENOSPC || result.reason != "No space left on device") {
            return "unexpected failure: " + result.reason;
        }
        if (readFile(path) != old) {
            return "the old file changed";
        }
        if (std::distance(fs::directory_iterator(folder), fs::directory_iterator()) != 2) {
            return "a temporary file was left behind";
        }
        return "";
    });
}

TEST_F(ProfileFile, WriteIntoAReadOnlyFolderFailsAndKeepsTheOldFile)
{
    inPrivateTmpfs(m_folder, "1m", [](const fs::path& folder) -> std::string {
        const std::string path = (folder / "setting.ini").string();
        writeFile(path, "[Advance]\nHour=1\n");
        if (::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            return "remount read-only failed";
        }
        const auto result = writePrivateProfileString("Advance", "Hour", "2", path);
        if (result.ok || result.error != EROFS || result.reason != "Read-only file system") {
            return "unexpected result: " + result.reason;
        }
        if (getPrivateProfileString("Advance", "Hour", "", 1024, path) != "1") {
            return "the old value is lost";
        }
        return "";
    });
}

// --- Killed in the middle of writing ----------------------------------------------------------

TEST_F(ProfileFile, KillDuringWritesLeavesAWholeFile)
{
    // The child rewrites a file of many keys over and over, each write changing one key to a
    // value of varying length, and reports every finished write through a pipe. It is killed
    // at a different point in each round; the file must then parse with every key present.
    constexpr int kKeys = 40;
    const std::string path = m_file.string();
    std::string initial = "; written by the kill test\n[Tail]\nEnd=yes\n";
    writeFile(m_file, initial);
    for (int k = 0; k < kKeys; ++k) {
        ASSERT_TRUE(writePrivateProfileString("Keys", "k" + std::to_string(k), "0", path).ok);
    }

    std::mt19937 random(12345);
    for (int round = 0; round < 20; ++round) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(fds[0]);
            for (unsigned i = 0;; ++i) {
                const std::string value(1 + (i * 7919) % 3000, static_cast<char>('a' + i % 26));
                writePrivateProfileString("Keys", "k" + std::to_string(i % kKeys), value, path);
                if (::write(fds[1], "w", 1) != 1) {
                    ::_exit(1);
                }
            }
        }
        ::close(fds[1]);
        const int wanted = 1 + static_cast<int>(random() % 30);
        char byte = 0;
        for (int done = 0; done < wanted && ::read(fds[0], &byte, 1) == 1; ++done) {
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(fds[0]);
        ASSERT_TRUE(WIFSIGNALED(status));

        EXPECT_EQ(read("Tail", "End"), "yes") << "round " << round;
        for (int k = 0; k < kKeys; ++k) {
            const std::string value = read("Keys", "k" + std::to_string(k));
            ASSERT_FALSE(value.empty()) << "round " << round << " key " << k;
            EXPECT_EQ(value.find_first_not_of(value.front()), std::string::npos)
                << "round " << round << " key " << k;
        }
        // Whatever a killed writer left behind, the next write succeeds.
        ASSERT_TRUE(writePrivateProfileString("Tail", "Round", std::to_string(round), path).ok);
    }
}

TEST_F(ProfileFile, OnlyOldTemporaryFilesOfTheFileItselfAreRemoved)
{
    // What a killed writer leaves, and what only looks like it. Ages in minutes before the
    // cut-off; the link's case is removed beside the file the link leads to.
    const fs::path elsewhere = m_folder / "elsewhere";
    fs::create_directories(elsewhere);
    writeFile(m_file, "[Show]\nMessage=1\n");
    struct Left {
        fs::path path;
        int age;
        bool removed;
    };
    const std::vector<Left> files = {
        {m_folder / ".setting.ini.a1B2c3", 60, true},
        {m_folder / ".setting.ini.ZZZZZZ", 1, true},
        {m_folder / ".setting.ini.q9Q9q9", -1, false},  // a writer at work
        {m_folder / ".setting.ini.a1B2c", 60, false},
        {m_folder / ".setting.ini.a1B2c3d", 60, false},
        {m_folder / ".setting.ini.a1-2c3", 60, false},
        {m_folder / "setting.ini.a1B2c3", 60, false},
        {m_folder / ".other.ini.a1B2c3", 60, false},
        {m_folder / ".SETTING.INI.a1B2c3", 60, false},
        {m_file, 60, false},
        {elsewhere / ".real.ini.a1B2c3", 60, false},
    };
    const auto cutOff = std::chrono::system_clock::now() - std::chrono::minutes(5);
    const auto at = [&](int age) {
        return fs::file_time_type::clock::from_sys(cutOff - std::chrono::minutes(age));
    };
    for (const auto& f : files) {
        if (f.path != m_file) {
            writeFile(f.path, "[Show]\n");
        }
        fs::last_write_time(f.path, at(f.age));
    }
    // A folder and a link by a leftover's name are not files a writer made.
    fs::create_directory(m_folder / ".setting.ini.Dir000");
    fs::create_symlink(m_file, m_folder / ".setting.ini.Lnk000");

    EXPECT_EQ(platform::removeLeftoverTemporaries(m_file.string(), cutOff), 2);
    for (const auto& f : files) {
        EXPECT_EQ(fs::exists(f.path), !f.removed) << f.path;
    }
    EXPECT_TRUE(fs::is_directory(m_folder / ".setting.ini.Dir000"));
    EXPECT_TRUE(fs::is_symlink(m_folder / ".setting.ini.Lnk000"));
    EXPECT_EQ(read("Show", "Message"), "1");

    // Through a link, beside its target; a missing folder is no error.
    const fs::path link = m_folder / "linked.ini";
    fs::create_symlink(elsewhere / "real.ini", link);
    EXPECT_EQ(platform::removeLeftoverTemporaries(link.string(), cutOff), 1);
    EXPECT_FALSE(fs::exists(elsewhere / ".real.ini.a1B2c3"));
    EXPECT_EQ(
        platform::removeLeftoverTemporaries((m_folder / "gone" / "setting.ini").string(), cutOff),
        0);
}

// --- Bad input --------------------------------------------------------------------------------

TEST_F(ProfileFile, GarbageAndHugeFilesAreReadAndKeptByteForByte)
{
    std::mt19937 random(7);
    std::string garbage(1 << 20, '\0');
    for (auto& c : garbage) {
        c = static_cast<char>(random() % 256);
    }
    const std::string hugeLine = "[a]\nk=" + std::string(5 << 20, 'v') + "\nm=2\n";
    std::string manyLines;
    for (int i = 0; manyLines.size() < (30u << 20); ++i) {
        manyLines += "[s" + std::to_string(i) + "]\nkey=value " + std::to_string(i) + "\n";
    }
    manyLines += "[a]\nm=2\n";

    struct BadCase {
        const char* name;
        std::string content;
    };
    const std::vector<BadCase> cases = {
        {"random bytes with NULs", garbage},
        {"a line of 5 MB", hugeLine},
        {"a file of 30 MB", manyLines},
        {"only brackets and blanks", "[\n]\n[[[\n ]]] \n=\n==\n\r\r\r\n"},
    };
    for (const auto& c : cases) {
        writeFile(m_file, c.content);
        (void)read("a", "k");
        ASSERT_TRUE(writePrivateProfileString("Pendrel-Test", "Key", "1", m_file.string()).ok)
            << c.name;
        EXPECT_EQ(read("Pendrel-Test", "Key"), "1") << c.name;
        const std::string after = readFile(m_file);
        EXPECT_EQ(after.compare(0, c.content.size(), c.content), 0)
            << c.name << ": the old bytes did not survive";
    }
    writeFile(m_file, hugeLine);
    EXPECT_EQ(read("a", "k").size(), 1023u);
    EXPECT_EQ(read("a", "m"), "2");
    ASSERT_TRUE(writePrivateProfileString("a", "k", "short", m_file.string()).ok);
    EXPECT_EQ(readFile(m_file), "[a]\nk=short\nm=2\n");
}

}  // namespace
