// Small helpers of the server's request handling: the token file and question length.
#include <algorithm>

#include "modules/cli/serve.hpp"

namespace norviai::cli {

std::string read_token_file(const std::string& path) {
  try {
    return http::read_token_file(path);
  } catch (const http::TokenFileError& error) {
    throw UserError(error.what());
  }
}

std::size_t count_characters(const std::string& text) {
  return std::count_if(text.begin(), text.end(),
                       [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
}

}  // namespace norviai::cli
