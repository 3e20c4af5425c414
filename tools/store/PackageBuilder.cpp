#include "tools/store/Store.h"

namespace quenlow::store {

BuiltPackage buildPackage(const PackageSpec&) {
    throw OrderError("packages are not available yet");
}

}  // namespace quenlow::store
