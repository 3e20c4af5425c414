// Demo packages, made with the package writer the tests also use, so what the
// store serves is exactly what the application's extraction reads.

#include <stdexcept>

#include "package/PackageWriter.h"
#include "tools/store/Store.h"

namespace quenlow::store {

StorePackage buildPackage(const PackageSpec& spec) {
    std::vector<quenlow::PackageEntry> entries;
    uint64_t unpacked = 0;
    for (const PackageEntrySpec& e : spec.entries) {
        quenlow::PackageEntry& entry = entries.emplace_back();
        entry.folder = e.folder;
        // A trailing separator makes the extraction create the folder itself.
        bool separatorLast = !e.name.empty() && (e.name.back() == '/' || e.name.back() == '\\');
        entry.name = e.folder && !separatorLast ? e.name + "/" : e.name;
        if (!e.folder) {
            entry.data = e.text;
            unpacked += e.text.size();
        }
    }
    quenlow::PackageOptions options;
    options.layout = spec.layout == "sealed"   ? quenlow::PackageLayout::Sealed
                     : spec.layout == "legacy" ? quenlow::PackageLayout::Legacy
                                               : quenlow::PackageLayout::Versioned;
    options.key = spec.key;
    try {
        quenlow::BuiltPackage built = quenlow::BuildPackage(entries, options);
        return StorePackage{std::move(built.bytes), std::move(built.unpackParameter), unpacked};
    } catch (const std::exception& e) {
        throw OrderError(std::string("package: ") + e.what());
    }
}

}  // namespace quenlow::store
