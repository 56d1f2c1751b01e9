#include "service/deployments.hpp"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>

namespace norviai::service {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

std::string read_whole_file(const std::string& path) {
  errno = 0;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    throw DeploymentsError("cannot read deployments file " + path + ": " +
                           std::system_category().message(errno));
  }
  std::string text;
  char buffer[8192];
  std::size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) text.append(buffer, count);
  if (std::ferror(file.get())) {
    // A directory opens fine and fails here with EISDIR.
    throw DeploymentsError("cannot read deployments file " + path + ": " +
                           std::system_category().message(errno));
  }
  return text;
}

// Line and column of a byte offset, so that an error can point at the fault without quoting it.
std::pair<std::size_t, std::size_t> line_and_column(const std::string& text, std::size_t byte) {
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i + 1 < byte && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return {line, column};
}

nlohmann::ordered_json take_records(nlohmann::ordered_json& document, const char* name,
                                    const std::string& path) {
  auto member = document.find(name);
  if (member == document.end()) return nlohmann::ordered_json::array();
  if (!member->is_array()) {
    throw DeploymentsError("deployments file " + path + ": \"" + name +
                           "\" must be an array of records");
  }
  for (std::size_t i = 0; i < member->size(); ++i) {
    if (!(*member)[i].is_object()) {
      throw DeploymentsError("deployments file " + path + ": \"" + name + "\" entry " +
                             std::to_string(i) + " must be a JSON object");
    }
  }
  return std::move(*member);
}

}  // namespace

Deployments DeploymentsFile::load() const {
  const std::string text = read_whole_file(path_);
  nlohmann::ordered_json document;
  try {
    document = nlohmann::ordered_json::parse(text);
  } catch (const nlohmann::json::parse_error& error) {
    // error.what() quotes the text around the fault, which may be a key.
    auto [line, column] = line_and_column(text, error.byte);
    throw DeploymentsError("deployments file " + path_ + " is not valid JSON (line " +
                           std::to_string(line) + ", column " + std::to_string(column) + ")");
  } catch (const nlohmann::json::exception&) {
    throw DeploymentsError("deployments file " + path_ +
                           " is not valid JSON (a number is out of range)");
  }
  if (!document.is_object()) {
    throw DeploymentsError("deployments file " + path_ +
                           " must hold a JSON object {\"azure\": [...], \"openai\": [...]}");
  }
  Deployments deployments;
  deployments.azure = take_records(document, "azure", path_);
  deployments.openai = take_records(document, "openai", path_);
  return deployments;
}

}  // namespace norviai::service
