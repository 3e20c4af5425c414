#include <cerrno>
#include <string>

#include "platform/FileSystem.h"

namespace quenlow {

bool CreateDirectoryTree(const std::string& pathIn, bool pathEndsWithFileName) {
    std::string path = pathIn;
    if (pathEndsWithFileName) {
        auto slash = path.find_last_of('/');
        path = slash == std::string::npos ? std::string() : path.substr(0, slash);
    }
    if (path.empty()) return false;
    if (path.back() != '/') path += '/';
    FileSystem& fs = fileSystem();
    bool result = true;
    std::string growing;
    size_t start = 0;
    while (start < path.size()) {
        size_t slash = path.find('/', start);
        growing += path.substr(start, slash - start);
        if (!growing.empty()) {
            if (fs.isDirectory(growing)) {
                result = true;
            } else if (fs.exists(growing)) {
                result = false;  // a file stands where a folder is needed
            } else {
                int r = fs.mkdir(growing);
                result = r == 0 || (r == -EEXIST && fs.isDirectory(growing));
            }
        }
        growing += '/';
        start = slash + 1;
    }
    return result;
}

}  // namespace quenlow
