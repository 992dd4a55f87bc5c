// Binds the service host to the connector: run() is the start callable,
// stop() the stop callable.
#pragma once

#include <string>
#include <utility>

#include "Common/service.h"
#include "client/rv_config.h"

namespace relvo {

template <typename Start, typename Stop>
class RelvoConnectorService : public libmo::Service {
 public:
  // Reads the service name and description from `config` (defaults when the
  // ini file lacks them).
  RelvoConnectorService(AppConfiguration& config, Start start, Stop stop)
      : start_(std::move(start)), stop_(std::move(stop)) {
    config.LoadServiceProperties(name_, description_);
  }

  const char* getName() override { return name_.c_str(); }
  const char* getDescription() override { return description_.c_str(); }
  void stop() override { stop_(); }
  int run(int argc, char** argv) override { return start_(argc, argv); }

 private:
  std::string name_;
  std::string description_;
  Start start_;
  Stop stop_;
};

}  // namespace relvo
