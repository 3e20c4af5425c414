// libFuzzer target: catalogue loaders and extraction on arbitrary package
// bytes. Built and run by scripts/fuzz, not by the normal build.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "FuzzCommon.h"
#include "package/PackageCatalogue.h"
#include "package/PackageExtraction.h"
#include "package/UnpackMessageHandler.h"
#include "platform/Messages.h"

using namespace quenlow;
namespace fs = std::filesystem;

namespace {

const std::string& workDir() {
    static const std::string dir = [] {
        std::string tmpl = (fs::temp_directory_path() / "quenlow-fuzz-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) std::abort();
        return tmpl;
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const unsigned mode = data[0];
    const std::string dir = workDir();
    const std::string package = dir + "/p.tarn";
    const std::string out = dir + "/out";
    {
        std::ofstream f(package, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    QueueRef reports = std::make_shared<MessageQueue>();
    UnpackMessageHandler relay;
    relay.targetThread = reports;
    PackageCatalogue catalogue;
    catalogue.reportThread = reports;
    std::string launchFolder;
    const bool skipCrc = !(mode & fuzz::kCheckCrc);
    switch (mode & 3) {
        case fuzz::kModeSealed:
            Unpack(catalogue, package, out, launchFolder, UM_PROCESS_STATUS(), &relay, skipCrc, 0,
                   fuzz::kSealedKey, false, reports);
            break;
        case fuzz::kModeLegacy:
            UnpackLegacy(catalogue, package, out, UM_UNPACK_PERCENT, &relay);
            break;
        default:
            Unpack(catalogue, package, out, launchFolder, UM_PROCESS_STATUS(), &relay, skipCrc, 0,
                   fuzz::kShortKey, false, reports);
            break;
    }
    while (reports->tryTake()) {
    }
    // Nothing may appear beside the package and the output folder.
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name != "p.tarn" && name != "out") {
            std::fprintf(stderr, "written outside the output folder: %s\n", e.path().c_str());
            std::abort();
        }
    }
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(out, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all,
                        fs::perm_options::add | fs::perm_options::nofollow, ec);
    fs::remove_all(out, ec);
    return 0;
}
