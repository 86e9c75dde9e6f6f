#pragma once
// modIniEdit: the program's only way in and out of its settings file, "setting.ini" in the
// program folder. Every call opens, reads or rewrites and closes the file; nothing is cached,
// so a value read is what the file holds at that moment. Called from the window's event
// thread only.
//
// The settings: section "Show" key "Message" (first-run mark), section "Advance" keys "Date",
// "Hour", "Min" (decimal advances), section "Transmit" key "State" ("1" = on).

#include "platform/profile_file.h"

#include <string>

namespace app {

// Sets the folder that holds the settings file; call once at start-up. A trailing '/' is
// dropped. Until it is called, or when `folder` is empty, the folder of the running executable
// is used.
void setProgramFolder(const std::string& folder);

// The program folder without a trailing separator, and the settings file's full path.
std::string programFolder();
std::string settingsPath();

// The value of `key` in `section` as text: empty when the file, the section or the key is
// missing or the file cannot be read. At most 1023 bytes, and cut at the first NUL byte.
std::string ReadIni(const std::string& section, const std::string& key);

// Stores `value` under `key` in `section`, creating the file and section as needed. On failure
// the file is unchanged and the result says why; the caller tells the user and carries on
// with the new value in effect for this run.
platform::WriteResult WriteIni(const std::string& section, const std::string& key,
                               const std::string& value);

}  // namespace app
