#pragma once

#include <asio/awaitable.hpp>
#include <string>

#include "nalto/support/errors.hpp"
#include "nalto/support/json.hpp"

namespace nalto::outside {

// The platform refused; what() and detail() are its explanation.
class APIStatusError : public Error {
 public:
  APIStatusError(int status, std::string detail);
  int status() const noexcept { return status_; }
  const std::string& detail() const noexcept { return detail_; }
  std::string_view type_name() const noexcept override { return "APIStatusError"; }

 private:
  int status_;
  std::string detail_;
};

class ProjectSimsApi {
 public:
  virtual ~ProjectSimsApi() = default;
  virtual asio::awaitable<Json> link(std::string org_id, std::string project_id, std::string sim_id) = 0;
};

class SimsApi {
 public:
  virtual ~SimsApi() = default;
  virtual asio::awaitable<Json> publish_report_start(std::string org_id, std::string sim_id,
                                                     std::string implementation_id,
                                                     std::string dataset_id) = 0;
  virtual asio::awaitable<Json> publish_report_submit(std::string org_id, std::string sim_id,
                                                      std::string implementation_id, std::string job_id,
                                                      Json body) = 0;
  virtual asio::awaitable<Json> publish_report_status(std::string org_id, std::string sim_id,
                                                      std::string implementation_id, std::string job_id) = 0;
};

// The platform API client, borrowed from the caller.
class PlatformApi {
 public:
  virtual ~PlatformApi() = default;
  virtual ProjectSimsApi& project_sims() = 0;
  virtual SimsApi& sims() = 0;
};

}  // namespace nalto::outside
