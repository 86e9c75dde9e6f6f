#include "app/settings/settings_file.h"

#include "runtime/text.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace settings {

namespace {

constexpr std::size_t kBufferSize = 1024;
constexpr const char* kFileName = "setting.ini";
// A write takes milliseconds; a temporary file this old belongs to a writer that is gone.
constexpr auto kLeftoverAge = std::chrono::minutes(2);

std::string withoutTrailingSlashes(std::string folder)
{
    while (!folder.empty() && folder.back() == '/') {
        folder.pop_back();
    }
    return folder;
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

SettingsFile::SettingsFile(SettingsPlace place) : m_place(std::move(place))
{
    m_place.folder = withoutTrailingSlashes(m_place.folder);
}

SettingsFile SettingsFile::forProgram(const std::string& programFolder)
{
    SettingsFile file = findFor(programFolder);
    platform::removeLeftoverTemporaries(file.path(),
                                        std::chrono::system_clock::now() - kLeftoverAge);
    return file;
}

SettingsFile SettingsFile::findFor(const std::string& programFolder)
{
    SettingsPlaceFacts facts;
    facts.programFolder = resolved(withoutTrailingSlashes(programFolder));
    struct stat st {};
    facts.fileBeside = ::lstat((facts.programFolder + "/" + kFileName).c_str(), &st) == 0;
    facts.folderWritable = ::access(facts.programFolder.empty() ? "/" : facts.programFolder.c_str(),
                                    W_OK | X_OK) == 0;
    facts.configHome = environment("XDG_CONFIG_HOME");
    facts.home = homeFolder();
    return SettingsFile(settingsPlaceFor(facts));
}

std::string SettingsFile::path() const
{
    return m_place.folder + "/" + kFileName;
}

std::string SettingsFile::ReadIni(const std::string& section, const std::string& key) const
{
    std::string value = platform::getPrivateProfileString(section, key, "", kBufferSize, path());
    // The value is handed over as a NUL-terminated buffer would be: up to its first NUL.
    if (const auto nul = value.find('\0'); nul != std::string::npos) {
        value.resize(nul);
    }
    return value;
}

platform::WriteResult SettingsFile::WriteIni(const std::string& section, const std::string& key,
                                             const std::string& value) const
{
    if (m_place.createOnWrite) {
        if (const int error = makeFolders(m_place.folder); error != 0) {
            return platform::WriteResult{false, error, std::strerror(error)};
        }
    }
    return platform::writePrivateProfileString(section, key, value, path());
}

StoredAdvance readAdvance(const SettingsFile& file, const char* key)
{
    StoredAdvance advance;
    advance.text = file.ReadIni("Advance", key);
    try {
        advance.value = runtime::toInt16(runtime::leadingNumber(advance.text));
    } catch (const runtime::OverflowError&) {
        advance.overflowed = true;
    }
    return advance;
}

StoredAdvances readAdvances(const SettingsFile& file)
{
    return {readAdvance(file, "Date"), readAdvance(file, "Hour"), readAdvance(file, "Min")};
}

}  // namespace settings
