#include "app/mod_ini_edit.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app {

namespace {

constexpr std::size_t kBufferSize = 1024;
constexpr const char* kFileName = "setting.ini";
// A write takes milliseconds; a temporary file this old belongs to a writer that is gone.
constexpr auto kLeftoverAge = std::chrono::minutes(2);

std::optional<std::string>& storedFolder()
{
    static std::optional<std::string> folder;
    return folder;
}

// Chosen at start-up; until then the settings go with the program folder.
std::optional<SettingsPlace>& storedPlace()
{
    static std::optional<SettingsPlace> place;
    return place;
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

// Folders installed and owned by the system, whoever may write to them.
bool isSystemFolder(const std::string& folder)
{
    const std::string_view top = std::string_view(folder).substr(0, folder.find('/', 1));
    for (const std::string_view system :
         {"/usr", "/opt", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"}) {
        if (top == system) {
            return true;
        }
    }
    return false;
}

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::string homeFolder()
{
    std::string home = environment("HOME");
    if (home.empty()) {
        if (const passwd* user = ::getpwuid(::geteuid()); user != nullptr && user->pw_dir) {
            home = user->pw_dir;
        }
    }
    return home;
}

std::string resolved(const std::string& folder)
{
    if (char* real = ::realpath(folder.empty() ? "/" : folder.c_str(), nullptr)) {
        std::string path = withoutTrailingSlashes(real);
        std::free(real);
        return path;
    }
    return folder;
}

// Makes `folder` and any missing parents, private to the user as a configuration folder
// should be. Returns 0 or an errno value.
int makeFolders(const std::string& folder)
{
    struct stat st {};
    if (folder.empty() || ::stat(folder.c_str(), &st) == 0) {
        return 0;
    }
    const auto slash = folder.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        if (const int error = makeFolders(folder.substr(0, slash)); error != 0) {
            return error;
        }
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return errno;
    }
    return 0;
}

}  // namespace

void setProgramFolder(const std::string& folder)
{
    // "/" becomes "", so that the file is "/setting.ini".
    storedFolder() = folder.empty() ? executableFolder() : withoutTrailingSlashes(folder);
    storedPlace().reset();
}

SettingsPlace settingsPlaceFor(const SettingsPlaceFacts& facts)
{
    const std::string beside = withoutTrailingSlashes(facts.programFolder);
    if (facts.fileBeside || (facts.folderWritable && !isSystemFolder(facts.programFolder))) {
        return {beside, false};
    }
    // Relative values are ignored, as every desktop program does.
    std::string base;
    if (facts.configHome.starts_with('/')) {
        base = withoutTrailingSlashes(facts.configHome);
    } else if (facts.home.starts_with('/')) {
        base = withoutTrailingSlashes(facts.home) + "/.config";
    } else {
        return {beside, false};
    }
    return {base + "/pendrel", true};
}

void chooseSettingsLocation()
{
    SettingsPlaceFacts facts;
    facts.programFolder = resolved(programFolder());
    struct stat st {};
    facts.fileBeside = ::lstat((facts.programFolder + "/" + kFileName).c_str(), &st) == 0;
    facts.folderWritable = ::access(facts.programFolder.empty() ? "/" : facts.programFolder.c_str(),
                                    W_OK | X_OK) == 0;
    facts.configHome = environment("XDG_CONFIG_HOME");
    facts.home = homeFolder();
    storedPlace() = settingsPlaceFor(facts);
    platform::removeLeftoverTemporaries(settingsPath(),
                                        std::chrono::system_clock::now() - kLeftoverAge);
}

std::string programFolder()
{
    if (!storedFolder()) {
        storedFolder() = executableFolder();
    }
    return *storedFolder();
}

std::string settingsFolder()
{
    return storedPlace() ? storedPlace()->folder : programFolder();
}

std::string settingsPath()
{
    return settingsFolder() + "/" + kFileName;
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
    if (storedPlace() && storedPlace()->createOnWrite) {
        if (const int error = makeFolders(storedPlace()->folder); error != 0) {
            return platform::WriteResult{false, error, std::strerror(error)};
        }
    }
    return platform::writePrivateProfileString(section, key, value, settingsPath());
}

}  // namespace app
