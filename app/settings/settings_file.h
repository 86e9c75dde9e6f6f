#pragma once
// The program's settings file "setting.ini": its only way in and out of the settings. It lies in
// the program folder, unless that folder belongs to the system (see settingsPlaceFor). Every
// call opens, reads or rewrites and closes the file; nothing is cached, so a value read is what
// the file holds at that moment. Used from the window's event thread only.
//
// The settings: section "Show" key "Message" (first-run mark), section "Advance" keys "Date",
// "Hour", "Min" (decimal advances), section "Transmit" key "State" ("1" = on).

#include "platform/profile/profile_file.h"

#include <cstdint>
#include <string>

namespace settings {

// What decides where the settings file lives.
struct SettingsPlaceFacts {
    std::string programFolder;  // with links resolved
    bool fileBeside = false;    // something named setting.ini is in the program folder
    bool folderWritable = false;
    std::string configHome;     // $XDG_CONFIG_HOME as set (may be empty or relative)
    std::string home;           // the user's home folder
};

struct SettingsPlace {
    std::string folder;          // without a trailing separator
    bool createOnWrite = false;  // the folder is made (with its parents) on the first write

    bool operator==(const SettingsPlace&) const = default;
};

// The rule: beside the program when a setting.ini is there already (it always wins), or when
// the folder is writable and is not a system folder (under /usr, /opt, /bin, /sbin,
// /lib, /lib32, /lib64 or /libx32).
// Otherwise $XDG_CONFIG_HOME/pendrel, or ~/.config/pendrel when that is unset or relative.
// A system folder counts as unwritable even for root, who would otherwise leave a settings
// file there that every other user then reads and cannot change. With no usable home either,
// the program folder (writes then fail and say so).
SettingsPlace settingsPlaceFor(const SettingsPlaceFacts& facts);

class SettingsFile {
public:
    // The file "setting.ini" in `place.folder`; a trailing '/' is dropped, so "/" gives
    // "/setting.ini".
    explicit SettingsFile(SettingsPlace place);

    // The settings file of the program in `programFolder`, placed by settingsPlaceFor from that
    // folder and the environment. Removes the temporary files that killed writes left in the
    // chosen folder, so only the one running copy of a program folder makes it, at start-up.
    static SettingsFile forProgram(const std::string& programFolder);
    // The same file, found by the same rule, for a tool that only reads it: nothing is removed.
    static SettingsFile findFor(const std::string& programFolder);

    // The settings file's folder, without a trailing separator, and its full path.
    const std::string& folder() const { return m_place.folder; }
    std::string path() const;

    // The value of `key` in `section` as text: empty when the file, the section or the key is
    // missing or the file cannot be read. At most 1023 bytes, and cut at the first NUL byte.
    std::string ReadIni(const std::string& section, const std::string& key) const;

    // Stores `value` under `key` in `section`, creating the file and section as needed. On
    // failure the file is unchanged and the result says why; the caller tells the user and
    // carries on with the new value in effect for this run. A settings folder of its own is
    // created first (private to the user) when it is missing.
    platform::WriteResult WriteIni(const std::string& section, const std::string& key,
                                   const std::string& value) const;

private:
    SettingsPlace m_place;
};

// One stored advance as the window reads it: the leading number of the text, to the nearest
// whole number. A value that does not fit counts as 0, and `overflowed` says so with the text.
struct StoredAdvance {
    std::int16_t value = 0;
    bool overflowed = false;
    std::string text;  // as the file holds it
};

struct StoredAdvances {
    StoredAdvance days;     // [Advance] Date
    StoredAdvance hours;    // [Advance] Hour
    StoredAdvance minutes;  // [Advance] Min
};

// The advance stored under `key` ("Date", "Hour" or "Min"), and all three.
StoredAdvance readAdvance(const SettingsFile& file, const char* key);
StoredAdvances readAdvances(const SettingsFile& file);

}  // namespace settings
