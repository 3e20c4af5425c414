#pragma once
// HTTP routes of the demo store: pages, part files and the control API.

#include <Poco/Net/HTTPRequestHandlerFactory.h>

#include "tools/store/Store.h"

namespace quenlow::store {

class RequestHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
  public:
    explicit RequestHandlerFactory(Store& store) : store_(store) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(
        const Poco::Net::HTTPServerRequest& request) override;

  private:
    Store& store_;
};

}  // namespace quenlow::store
