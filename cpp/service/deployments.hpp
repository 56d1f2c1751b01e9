// DeploymentsFile: the JSON file of model deployments a user edits,
// {"azure": [...], "openai": [...]}. Holds only the path and reads the file afresh on every load(),
// so edits apply without a restart; load() shares no state and may run on several threads at once.
// load() throws DeploymentsError with one line naming the file and the fault, never quoting the
// file's content: the records hold keys.
#pragma once

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

namespace norviai::service {

class DeploymentsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Deployments {
  // Arrays of the records exactly as written (member order kept); empty when the file omits them.
  nlohmann::ordered_json azure = nlohmann::ordered_json::array();
  nlohmann::ordered_json openai = nlohmann::ordered_json::array();
};

class DeploymentsFile {
 public:
  explicit DeploymentsFile(std::string path) : path_(std::move(path)) {}

  Deployments load() const;

 private:
  std::string path_;
};

}  // namespace norviai::service
