#include "runtime/program_path.h"

#include <climits>

#include <unistd.h>

namespace runtime {

std::string programFolder()
{
    std::string path(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= path.size())
        return ".";
    path.resize(static_cast<std::size_t>(n));
    // An executable in "/" lies in the folder "", so that its files are "/name".
    return path.substr(0, path.rfind('/'));
}

}  // namespace runtime
