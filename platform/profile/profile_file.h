#pragma once
// Profile files: the small text settings files of "[Section]" headers and "key=value" lines that
// Windows programs keep beside themselves. Users edit them by hand and copy them over from
// Windows PCs, so they are read the way Windows reads them:
//   - section and key names match without regard to (ASCII) case; blanks around names and
//     values are ignored; a value in matching double or single quotes reads without them;
//   - CRLF and LF line ends are both read; lines whose first non-blank character is ';' are
//     comments; a line without '=' names a key with no value, which reads as the default;
//     a UTF-8 byte order mark at the start is skipped;
//   - with duplicate sections only the first counts, and within it the first of duplicate keys;
//   - the text is bytes in whatever code page the file was written in; nothing is decoded.
//
// Writing changes as little as it can: an existing key's line is replaced in place, a new key
// goes after the last key of its section, a new section at the end of the file; every other
// byte (comments, blank lines, unknown sections, Shift-JIS text) stays as it was, and new lines
// use the line end the file already uses (LF for a new file). The new content is written to a
// temporary file in the same folder, flushed to disk and renamed over the old file, so that a
// crash, a kill or a full disk leaves either the old file or the new one, whole. A symbolic
// link is followed and its target replaced; the link stays.
//
// Not thread-safe against other writers of the same file; the program calls these from its one
// event thread.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Outcome of a write. On failure `error` is the errno value of the step that failed (0 when
// the arguments were refused) and `reason` a short text for the user, such as
// "No space left on device"; the file is then exactly as it was before the call.
struct WriteResult {
    bool ok = false;
    int error = 0;
    std::string reason;

    explicit operator bool() const { return ok; }
    bool operator==(const WriteResult&) const = default;
};

// The value of `key` in `section` of the file at `path`, or `defaultValue` when the file, the
// section or the key is missing or the file cannot be read. The result is cut to `size - 1`
// bytes, as if copied into a buffer of `size` bytes with its terminating NUL (empty when
// `size` is 0). The value may hold NUL bytes when the file does.
std::string getPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, std::size_t size,
                                    const std::string& path);

// Stores `value` under `key` in `section` of the file at `path`, creating the file and the
// section when they are missing. Refused (nothing written) when a name is empty or a name or
// the value holds a line break or NUL, when the section name holds ']', or when the key holds
// '=' or begins with '[' or ';': such text would change the file's structure. A file that
// exists but cannot be read, or is not a regular file, is never replaced.
WriteResult writePrivateProfileString(std::string_view section, std::string_view key,
                                      std::string_view value, const std::string& path);

// The same two operations on file content held in memory; the file functions above are built
// on them. lookupProfileValue gives the value as read (trimmed, unquoted, not cut), or nothing
// when the section or key is missing or the key has no '='. updateProfileText assumes
// arguments that writePrivateProfileString accepts.
std::optional<std::string_view> lookupProfileValue(std::string_view content,
                                                   std::string_view section, std::string_view key);
std::string updateProfileText(std::string_view content, std::string_view section,
                              std::string_view key, std::string_view value);

// A writer killed mid-way leaves its temporary file behind for good: "." + the file's name +
// "." + six letters or digits, beside the file a symbolic link at `path` leads to. Removes such
// files that belong to this user, are regular files and were last written before `cutOff`.
// A writer at work wrote its temporary file moments ago, so a cut-off a minute or more back
// never takes a file from under it (and if it did, that write would fail cleanly: its rename
// finds nothing). Returns how many files were removed; a folder that cannot be read removes
// none. Call at start-up, before the first write.
int removeLeftoverTemporaries(const std::string& path,
                              std::chrono::system_clock::time_point cutOff);

// Whether `name` is one of the temporary names a write of the file named `fileName` uses.
bool isTemporaryNameOf(std::string_view name, std::string_view fileName);

// Why writePrivateProfileString would refuse these arguments, or empty text when it accepts
// them.
std::string refusedProfileArguments(std::string_view section, std::string_view key,
                                    std::string_view value);

}  // namespace platform
