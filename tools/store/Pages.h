#pragma once
// HTML of the store pages.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/store/StoreModel.h"

namespace quenlow::store {

// The no-context page: no order, empty hidden fields, links to the orders.
std::string renderNoContextPage(int64_t pageId,
                                const std::vector<std::shared_ptr<const Order>>& orders);
// The page of one order, carrying every element the application reads.
std::string renderOrderPage(int64_t pageId, const Order& order, const std::string& baseUrl);
// The page the upgrade link leads to.
std::string renderUpgradePage();
// A plain page for an unknown order or path.
std::string renderNotFoundPage(const std::string& what);

}  // namespace quenlow::store
