#include "platform/profile/profile_file.h"

// The files themselves: read whole, and replaced whole through a temporary file in their folder.

#include <cerrno>
#include <cstring>
#include <new>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr int kMaxLinkDepth = 40;
// mkostemp's template: the six X are replaced by letters and digits.
constexpr std::string_view kTemporarySuffix = ".XXXXXX";

std::string errnoText(int error)
{
    return std::strerror(error);
}

WriteResult failure(int error)
{
    return WriteResult{false, error, errnoText(error)};
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

std::string baseNameOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links to the file they name, which need not exist yet. Returns 0 or an
// errno value.
int resolveLinks(const std::string& path, std::string& target)
{
    target = path;
    for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
        struct stat st {};
        if (::lstat(target.c_str(), &st) != 0) {
            return errno == ENOENT ? 0 : errno;
        }
        if (!S_ISLNK(st.st_mode)) {
            return 0;
        }
        std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
        if (n < 0) {
            return errno;
        }
        if (static_cast<std::size_t>(n) >= link.size()) {
            return ENAMETOOLONG;  // the link changed under us; give up rather than guess
        }
        link.resize(static_cast<std::size_t>(n));
        target = (!link.empty() && link.front() == '/') ? link : folderOf(target) + "/" + link;
    }
    return ELOOP;
}

enum class ReadStatus { Read, Missing, Failed };

// Reads the whole file. Anything but a regular file counts as unreadable, so that a folder,
// a pipe or a device in the file's place is neither read nor replaced.
ReadStatus readWholeFile(const std::string& path, std::string& content, int& error)
{
    content.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = errno;
        return error == ENOENT ? ReadStatus::Missing : ReadStatus::Failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = errno;
        ::close(fd);
        return ReadStatus::Failed;
    }
    if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        return ReadStatus::Failed;
    }
    try {
        content.reserve(static_cast<std::size_t>(st.st_size));
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                error = errno;
                ::close(fd);
                return ReadStatus::Failed;
            }
            if (n == 0) {
                break;
            }
            content.append(buffer, static_cast<std::size_t>(n));
        }
    } catch (const std::bad_alloc&) {
        error = ENOMEM;
        ::close(fd);
        content.clear();
        return ReadStatus::Failed;
    }
    ::close(fd);
    return ReadStatus::Read;
}

int writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

// Replaces `target` with `content` so that at every moment the file on disk is either the old
// one or the new one, whole: write a temporary file beside it, flush it, rename it over.
WriteResult replaceFile(const std::string& target, std::string_view content, const struct stat* old)
{
    const std::string folder = folderOf(target);
    std::string temporary = folder + "/." + baseNameOf(target) + std::string(kTemporarySuffix);
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return failure(errno);
    }
    const auto abandon = [&](int error) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return failure(error);
    };
    // Keep the old file's permissions and owner; a new file gets the usual ones.
    if (old != nullptr) {
        ::fchmod(fd, old->st_mode & 07777);
        if (::fchown(fd, old->st_uid, old->st_gid) != 0) {
            // Only root may give a file away; the file then belongs to whoever writes it.
        }
    } else {
        ::fchmod(fd, 0644);
    }
    if (const int error = writeAll(fd, content); error != 0) {
        return abandon(error);
    }
    if (::fsync(fd) != 0) {
        return abandon(errno);
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return failure(error);
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return failure(error);
    }
    // Make the rename itself durable. The new content is in place already, so a failure here
    // is not a failed write.
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return WriteResult{true, 0, {}};
}

}  // namespace

std::string getPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, std::size_t size,
                                    const std::string& path)
{
    std::string result;
    try {
        std::string content;
        int error = 0;
        std::string_view found = defaultValue;
        if (readWholeFile(path, content, error) == ReadStatus::Read) {
            if (const auto value = lookupProfileValue(content, section, key)) {
                found = *value;
            }
        }
        const std::size_t room = size == 0 ? 0 : size - 1;
        result.assign(found.substr(0, room));
    } catch (const std::bad_alloc&) {
        result.assign(defaultValue.substr(0, size == 0 ? 0 : size - 1));
    }
    return result;
}

WriteResult writePrivateProfileString(std::string_view section, std::string_view key,
                                      std::string_view value, const std::string& path)
{
    if (std::string refused = refusedProfileArguments(section, key, value); !refused.empty()) {
        return WriteResult{false, 0, std::move(refused)};
    }
    std::string target;
    if (const int error = resolveLinks(path, target); error != 0) {
        return failure(error);
    }
    try {
        std::string old;
        int error = 0;
        const ReadStatus status = readWholeFile(target, old, error);
        if (status == ReadStatus::Failed) {
            return failure(error);
        }
        struct stat oldStat {};
        const bool exists = status == ReadStatus::Read && ::stat(target.c_str(), &oldStat) == 0;
        const std::string updated = updateProfileText(old, section, key, value);
        if (exists && updated == old) {
            return WriteResult{true, 0, {}};
        }
        return replaceFile(target, updated, exists ? &oldStat : nullptr);
    } catch (const std::bad_alloc&) {
        return failure(ENOMEM);
    }
}

bool isTemporaryNameOf(std::string_view name, std::string_view fileName)
{
    const std::size_t letters = kTemporarySuffix.size() - 1;
    if (fileName.empty() || name.size() != fileName.size() + 2 + letters || name.front() != '.' ||
        name.substr(1, fileName.size()) != fileName || name[fileName.size() + 1] != '.') {
        return false;
    }
    for (const char c : name.substr(name.size() - letters)) {
        const bool letterOrDigit =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!letterOrDigit) {
            return false;
        }
    }
    return true;
}

int removeLeftoverTemporaries(const std::string& path, std::chrono::system_clock::time_point cutOff)
{
    std::string target;
    if (resolveLinks(path, target) != 0) {
        return 0;
    }
    const std::string fileName = baseNameOf(target);
    DIR* folder = ::opendir(folderOf(target).c_str());
    if (folder == nullptr) {
        return 0;
    }
    const int folderFd = ::dirfd(folder);
    int removed = 0;
    while (const dirent* entry = ::readdir(folder)) {
        if (!isTemporaryNameOf(entry->d_name, fileName)) {
            continue;
        }
        struct stat st {};
        if (::fstatat(folderFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
            continue;
        }
        const auto written = std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec) +
                             std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                 std::chrono::nanoseconds(st.st_mtim.tv_nsec));
        if (written < cutOff && ::unlinkat(folderFd, entry->d_name, 0) == 0) {
            ++removed;
        }
    }
    ::closedir(folder);
    return removed;
}

}  // namespace platform
