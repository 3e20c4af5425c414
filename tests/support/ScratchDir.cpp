#include "support/ScratchDir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace quenlow::test {

namespace fs = std::filesystem;

ScratchDir::ScratchDir(const std::string& prefix) {
    std::string tmpl = (fs::temp_directory_path() / ("quenlow-" + prefix + "-XXXXXX")).string();
    if (::mkdtemp(tmpl.data()) == nullptr) {
        ADD_FAILURE() << "cannot make a scratch folder " << tmpl;
        return;
    }
    path_ = tmpl;
}

ScratchDir::~ScratchDir() {
    if (path_.empty()) return;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all,
                        fs::perm_options::add | fs::perm_options::nofollow, ec);
    fs::remove_all(path_, ec);
}

}  // namespace quenlow::test
