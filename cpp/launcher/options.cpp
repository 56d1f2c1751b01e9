#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "launcher/launcher.hpp"

namespace norviai::launcher {

void fail(const std::string& step) { fail(step, errno); }

void fail(const std::string& step, int error) {
  throw LaunchError(step + ": " + std::strerror(error));
}

namespace {

std::uint64_t number(const std::string& option, const char* text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value == 0) {
    throw LaunchError("option " + option + " needs a positive number, not '" + text + "'");
  }
  return value;
}

std::string absolute(const std::string& option, const char* text) {
  if (text[0] != '/') throw LaunchError("option " + option + " needs an absolute path: " + text);
  return text;
}

}  // namespace

Options parse_options(int argc, char** argv) {
  Options options;
  int index = 1;
  for (; index < argc; ++index) {
    const std::string option = argv[index];
    if (option == "--") {
      ++index;
      break;
    }
    if (index + 1 >= argc) throw LaunchError("option " + option + " needs a value");
    const char* value = argv[++index];
    if (option == "--ro") {
      options.read_only.push_back(absolute(option, value));
    } else if (option == "--save") {
      options.save_folder = absolute(option, value);
    } else if (option == "--cwd") {
      options.working_directory = absolute(option, value);
    } else if (option == "--memory") {
      options.memory_bytes = number(option, value);
    } else if (option == "--processes") {
      options.processes = number(option, value);
    } else if (option == "--scratch-size") {
      options.scratch_bytes = number(option, value);
    } else if (option == "--save-size") {
      options.save_bytes = number(option, value);
    } else {
      throw LaunchError("unknown option " + option);
    }
  }
  for (; index < argc; ++index) options.program.emplace_back(argv[index]);
  if (options.program.empty()) throw LaunchError("no program given after --");
  absolute("program", options.program.front().c_str());
  return options;
}

}  // namespace norviai::launcher
