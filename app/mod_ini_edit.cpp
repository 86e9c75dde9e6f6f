#include "app/mod_ini_edit.h"

#include <climits>
#include <optional>

#include <unistd.h>

namespace app {

namespace {

constexpr std::size_t kBufferSize = 1024;

std::optional<std::string>& storedFolder()
{
    static std::optional<std::string> folder;
    return folder;
}

std::string withoutTrailingSlashes(std::string folder)
{
    while (!folder.empty() && folder.back() == '/') {
        folder.pop_back();
    }
    return folder;
}

std::string executableFolder()
{
    std::string path(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) {
        return ".";
    }
    path.resize(static_cast<std::size_t>(n));
    return withoutTrailingSlashes(path.substr(0, path.rfind('/')));
}

}  // namespace

void setProgramFolder(const std::string& folder)
{
    // "/" becomes "", so that the file is "/setting.ini".
    storedFolder() = folder.empty() ? executableFolder() : withoutTrailingSlashes(folder);
}

std::string programFolder()
{
    if (!storedFolder()) {
        storedFolder() = executableFolder();
    }
    return *storedFolder();
}

std::string settingsPath()
{
    return programFolder() + "/setting.ini";
}

std::string ReadIni(const std::string& section, const std::string& key)
{
    std::string value =
        platform::getPrivateProfileString(section, key, "", kBufferSize, settingsPath());
    // The value is handed over as a NUL-terminated buffer would be: up to its first NUL.
    if (const auto nul = value.find('\0'); nul != std::string::npos) {
        value.resize(nul);
    }
    return value;
}

platform::WriteResult WriteIni(const std::string& section, const std::string& key,
                               const std::string& value)
{
    return platform::writePrivateProfileString(section, key, value, settingsPath());
}

}  // namespace app
