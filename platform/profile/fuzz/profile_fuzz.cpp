// libFuzzer target for the profile-file reader and writer.
//
// Input layout: byte 0 picks the section, byte 1 the key, byte 2 is the length of the value
// that follows; the rest is the file's content. Each run reads every known name pair, writes
// one value through a real file and checks that the value reads back as written, that no other
// pair changed, and that a refused write left the file alone.

#include "platform/profile/profile_file.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace {

constexpr std::array<std::string_view, 6> kSections = {"Show", "advance", "TRANSMIT",
                                                       "a b",  "[x",      "Sj\x83\x5c"};
constexpr std::array<std::string_view, 6> kKeys = {"Message", "date", "HOUR", "Min", ";c", "k=v"};

std::string scratchFile()
{
    const char* shm = "/dev/shm";
    const std::string folder = ::access(shm, W_OK) == 0 ? shm : "/tmp";
    return folder + "/pendrel-fuzz-" + std::to_string(::getpid()) + ".ini";
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, std::string_view content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "profile fuzz: %s\n", what);
        std::abort();
    }
}

std::string expectedRead(std::string_view value)
{
    const auto first = value.find_first_not_of(" \t\r\v\f");
    if (first == std::string_view::npos) {
        return {};
    }
    value = value.substr(first, value.find_last_not_of(" \t\r\v\f") - first + 1);
    if (value.size() > 1 && value.front() == value.back() &&
        (value.front() == '"' || value.front() == '\'')) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value.substr(0, 1023));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3) {
        return 0;
    }
    static const std::string path = scratchFile();
    const std::string_view section = kSections[data[0] % kSections.size()];
    const std::string_view key = kKeys[data[1] % kKeys.size()];
    const std::size_t valueLength = std::min<std::size_t>(data[2], size - 3);
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string_view value = input.substr(3, valueLength);
    const std::string_view content = input.substr(3 + valueLength);

    writeFile(path, content);
    std::vector<std::string> before;
    for (const auto s : kSections) {
        for (const auto k : kKeys) {
            before.push_back(platform::getPrivateProfileString(s, k, "\x01", 1024, path));
        }
    }

    const platform::WriteResult result =
        platform::writePrivateProfileString(section, key, value, path);
    const bool refused = !platform::refusedProfileArguments(section, key, value).empty();
    if (refused) {
        check(!result.ok, "refused arguments were written");
        check(readFile(path) == content, "a refused write changed the file");
        return 0;
    }
    check(result.ok, "a write to a scratch file failed");
    check(platform::getPrivateProfileString(section, key, "", 1024, path) == expectedRead(value),
          "the written value does not read back");
    std::size_t i = 0;
    for (const auto s : kSections) {
        for (const auto k : kKeys) {
            if (!(s == section && k == key)) {
                check(platform::getPrivateProfileString(s, k, "\x01", 1024, path) == before[i],
                      "a write changed another key");
            }
            ++i;
        }
    }
    // Writing the same value again leaves the bytes as they are.
    const std::string once = readFile(path);
    check(platform::writePrivateProfileString(section, key, value, path).ok, "rewrite failed");
    check(readFile(path) == once, "writing the same value twice changed the file");
    return 0;
}
