// One analysis run of model-written Python: the host's child execs norviai-sandbox, which
// isolates the run (namespaces, a root view of the interpreter only, no network, whole-run
// limits) and starts the package's runner; the runner's one JSON line becomes the state update.
// Every failure of the run, the isolation's included, is a failed run, never a host exception.
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/sandbox.hpp"
#include "modules/common/contract.hpp"
#include "modules/flowsteps/flowsteps.hpp"

namespace norviai::flowsteps {

namespace {

namespace common = norviai::py_common;

constexpr double kDefaultCodeTimeLimit = 60.0;
constexpr std::uint64_t kDefaultSaveSizeMib = 512;
constexpr const char* kLauncherName = "norviai-sandbox";
constexpr const char* kRunnerName = "_sandbox_runner.py";
constexpr const char* kInsideHome = "/home/sandbox";
// A warm child waits this long for its program and then ends itself; the host uses it only well
// before that.
constexpr std::chrono::seconds kWarmWait{600};
constexpr std::chrono::seconds kWarmUsableFor{540};
// Across executors and save folders: one question at a time per state is the usual case. A
// server running more questions at once raises it (reserve_warm_analyses); touched with the GIL.
std::size_t max_warm_children = 4;
// After the hand-over, how long a warm child may take to finish its imports.
constexpr std::chrono::seconds kWarmReadyWithin{30};
constexpr const char* kUnisolatedWarning =
    "norviai: warning: NORVIAI_SANDBOX=off: analysis code runs without isolation and can read, "
    "change and send anything this process can\n";

// The wall-time limit of one analysis run, read at each run so that users can change it.
double code_time_limit() {
  return common::seconds_from_environment("NORVIAI_CODE_TIME_LIMIT", kDefaultCodeTimeLimit);
}

// The save folder's size limit in MiB, read at each run like the time limit.
std::uint64_t save_size_limit_mib() {
  const char* text = std::getenv("NORVIAI_SAVE_SIZE_LIMIT");
  if (text == nullptr || *text == '\0') return kDefaultSaveSizeMib;
  std::uint64_t mib = 0;
  const char* end = text + std::strlen(text);
  const auto [stop, error] = std::from_chars(text, end, mib);
  if (error != std::errc() || stop != end || mib == 0 || mib > (std::uint64_t{1} << 30)) {
    common::raise_error(PyExc_ValueError,
                        std::string("NORVIAI_SAVE_SIZE_LIMIT must be a positive whole number of "
                                    "MiB, got '") +
                            text + "'");
  }
  return mib;
}

bool isolation_turned_off() {
  const char* value = std::getenv("NORVIAI_SANDBOX");
  return value != nullptr && std::string(value) == "off";
}

std::string format_seconds(double seconds) { return py::str(builtins("format")(seconds, "g")); }

py::object os_path() { return py::module_::import("os").attr("path"); }

std::string real_path(py::handle path) {
  return os_path().attr("realpath")(path).cast<std::string>();
}

// What the interpreter needs to start and import the analysis libraries, shown read-only:
// its installation, the environment and its site-packages, and this package.
std::vector<std::string> interpreter_folders() {
  py::module_ sys = py::module_::import("sys");
  std::vector<std::string> folders;
  for (const char* name : {"prefix", "base_prefix", "exec_prefix", "base_exec_prefix"}) {
    folders.push_back(real_path(sys.attr(name)));
  }
  folders.push_back(real_path(os_path().attr("dirname")(real_path(sys.attr("executable")))));
  for (py::handle folder : py::module_::import("site").attr("getsitepackages")()) {
    folders.push_back(real_path(folder));
  }
  folders.push_back(real_path(os_path().attr("dirname")(common::package_path(kRunnerName))));
  std::erase_if(folders, [](const std::string& folder) { return folder == "/"; });
  return folders;
}

std::vector<std::string> base_environment() {
  std::vector<std::string> environment = {"PATH=/usr/local/bin:/usr/bin:/bin", "LANG=C.UTF-8"};
  // Some processors need these for OpenBLAS to compute correctly; they hold no secret.
  for (const char* name : {"OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"}) {
    if (const char* value = std::getenv(name)) {
      environment.push_back(std::string(name) + "=" + value);
    }
  }
  return environment;
}

std::string launcher_path() { return common::package_path(kLauncherName); }

std::vector<std::string> interpreter_command() {
  // -I leaves out the user's site folder and PYTHON* variables; -B writes no bytecode files.
  return {py::module_::import("sys").attr("executable").cast<std::string>(), "-I", "-B",
          common::package_path(kRunnerName)};
}

// The launcher's command line for one isolated run.
std::vector<std::string> isolated_command(const std::vector<std::string>& program,
                                          const std::string& save_folder,
                                          const std::string& working_directory,
                                          const std::vector<std::string>& extra_read_only) {
  std::vector<std::string> argv = {launcher_path()};
  for (const auto& folder : interpreter_folders()) argv.insert(argv.end(), {"--ro", folder});
  for (const auto& folder : extra_read_only) argv.insert(argv.end(), {"--ro", folder});
  if (!save_folder.empty()) {
    argv.insert(argv.end(), {"--save", save_folder, "--save-size",
                             std::to_string(save_size_limit_mib() << 20)});
  }
  argv.insert(argv.end(), {"--cwd", working_directory.empty() ? "/tmp" : working_directory});
  argv.push_back("--");
  argv.insert(argv.end(), program.begin(), program.end());
  return argv;
}

std::chrono::milliseconds wall_time(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000.0)));
}

core::SandboxResult run_released(const core::SandboxRequest& request) {
  py::gil_scoped_release release;
  return core::run_sandboxed(request);
}

// matplotlib's font list takes longer to build than most runs take; one shared copy is built
// once by a fixed program (no model code) and shown read-only to every run, whose own
// configuration folder is private. A folder someone else owns or can write to is not used.
std::string font_cache_folder() {
  py::module_ os = py::module_::import("os");
  py::object folder =
      os_path().attr("join")(py::module_::import("tempfile").attr("gettempdir")(),
                             py::str("norviai-fontcache-{}").format(os.attr("getuid")()));
  os.attr("makedirs")(folder, py::arg("mode") = 0700, py::arg("exist_ok") = true);
  py::object status = os.attr("lstat")(folder);
  const long mode = status.attr("st_mode").cast<long>();
  if (!py::object(status.attr("st_uid")).equal(os.attr("getuid")()) || !S_ISDIR(mode) ||
      (mode & 0022) != 0) {
    return "";
  }
  const std::string path = folder.cast<std::string>();
  py::object listed = py::module_::import("glob").attr("glob")(path + "/fontlist-*.json");
  if (py::len(listed) == 0) {
    core::SandboxRequest request;
    request.argv = isolated_command(
        {interpreter_command()[0], "-I", "-B", "-c", "import matplotlib.font_manager"}, path, path,
        {});
    request.environment = base_environment();
    request.environment.push_back("HOME=" + std::string(kInsideHome));
    request.environment.push_back("MPLCONFIGDIR=" + path);
    request.limits.wall_time = wall_time(120);
    run_released(request);  // without a cache each run builds its own
  }
  return path;
}

const char* signal_name(int signal) {
  const char* name = sigabbrev_np(signal);
  return name != nullptr ? name : "unknown";
}

py::dict failure(py::object error_text) {
  py::dict update;
  update[contract::key::kPythonExecutionSuccess] = false;
  update[contract::key::kPythonErrorMessage] = error_text;
  return update;
}

py::dict failure(const std::string& error_text) { return failure(py::str(error_text)); }

// The launcher's own lines on standard error: why isolation failed, which limits were reached.
std::vector<std::string> launcher_notes(const std::string& standard_error) {
  std::vector<std::string> notes;
  const std::string prefix = std::string("\n") + core::kLauncherNote;
  const std::string text = "\n" + standard_error;
  for (auto at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
    const auto start = at + prefix.size();
    notes.push_back(text.substr(start, text.find('\n', start) - start));
  }
  return notes;
}

std::string joined_notes(const std::vector<std::string>& notes) {
  std::string text;
  for (const auto& note : notes) text += (text.empty() ? " (" : "; ") + note;
  return text.empty() ? text : text + ")";
}

std::string error_detail(const core::SandboxResult& result) {
  std::string detail = result.standard_error.empty() ? "" : ": " + result.standard_error;
  if (detail.size() > 2000) detail = ": ..." + detail.substr(detail.size() - 2000);
  return detail;
}

bool exact(py::handle value, PyTypeObject* type) { return Py_TYPE(value.ptr()) == type; }

// The runner's answer, checked field by field: anything else is the program's forgery or a
// runner that did not finish, and fails the run.
py::dict answer_update(py::handle parsed) {
  const py::dict none;
  if (!exact(parsed, &PyDict_Type)) return none;
  py::dict answer = py::reinterpret_borrow<py::dict>(parsed);
  py::object ok = answer.attr("get")("ok");
  if (!exact(ok, &PyBool_Type)) return none;
  if (ok.ptr() == Py_True) {
    py::object output = answer.attr("get")("output");
    if (py::len(answer) != 2 || !exact(output, &PyUnicode_Type)) return none;
    py::dict update;
    update[contract::key::kPythonExecutedOutput] = output;
    update[contract::key::kPythonExecutionSuccess] = true;
    return update;
  }
  py::object error = answer.attr("get")("error");
  py::object exit_requested = answer.attr("get")("exit_requested", false);
  if (!exact(error, &PyUnicode_Type) || !exact(exit_requested, &PyBool_Type) ||
      py::len(answer) != (answer.contains("exit_requested") ? 3u : 2u)) {
    return none;
  }
  if (exit_requested.ptr() == Py_True) {
    return failure(py::str("SystemExit: the analysis code asked to end its process ({})")
                       .attr("format")(error));
  }
  return failure(error);
}

// The child's answer: one JSON line from the runner, or why there is none.
py::dict interpret(const core::SandboxResult& result, double limit) {
  const std::vector<std::string> notes = launcher_notes(result.standard_error);
  const std::string reached = joined_notes(notes);
  switch (result.outcome) {
    case core::SandboxOutcome::kTimedOut:
      return failure("TimeoutError: the analysis code did not finish within " +
                     format_seconds(limit) + " seconds and was stopped");
    case core::SandboxOutcome::kSignaled:
      if (result.signal == SIGXCPU) {
        return failure("TimeoutError: the analysis code used more than " + format_seconds(limit) +
                       " seconds of processor time and was stopped");
      }
      return failure("RuntimeError: the analysis process crashed (signal SIG" +
                     std::string(signal_name(result.signal)) + ")" + reached);
    case core::SandboxOutcome::kFailedToStart:
      return failure("RuntimeError: the analysis process could not be started: " + result.failure);
    case core::SandboxOutcome::kExited:
      break;
  }
  if (result.exit_code == core::kLauncherFailureExit && !notes.empty() &&
      result.standard_output.empty()) {
    return failure("RuntimeError: the analysis run could not be isolated: " + notes.front());
  }
  // The runner writes exactly one line; the program's own writes to fd 1 go elsewhere.
  const std::string& output = result.standard_output;
  const auto newline = output.find('\n');
  py::dict update;
  if (output.size() < core::kSandboxCaptureLimit && newline + 1 == output.size()) {
    // Not JSON, nested past the parser's depth, or too large to hold: no answer.
    common::except_exception(
        [&]() -> py::object {
          update = answer_update(
              py::module_::import("json").attr("loads")(py::bytes(output.substr(0, newline))));
          return py::none();
        },
        [](py::object) -> py::object { return py::none(); });
  }
  if (!update.empty()) {
    if (reached.empty()) return update;
    if (update[contract::key::kPythonExecutionSuccess].ptr() == Py_True) {
      return failure("RuntimeError: the analysis run reached a limit" + reached);
    }
    return failure(py::str(update[contract::key::kPythonErrorMessage]).cast<std::string>() +
                   reached);
  }
  if (result.exit_code == 0 && output.empty()) {
    return failure("RuntimeError: the analysis process ended without an answer" + reached +
                   error_detail(result));
  }
  if (result.exit_code == 0) {
    return failure("RuntimeError: the analysis process gave a malformed answer" + reached);
  }
  return failure("SystemExit: the analysis code ended its process with exit code " +
                 std::to_string(result.exit_code) + reached + error_detail(result));
}

// The save folder, made absolute against the host's working directory and created.
std::string save_folder(py::dict state) {
  py::object save_path = state.attr("get")(contract::key::kSavePath);
  if (!py::isinstance<py::str>(save_path) || !common::truthy(save_path)) return "";
  py::object absolute = os_path().attr("abspath")(save_path);
  py::module_::import("os").attr("makedirs")(absolute, py::arg("exist_ok") = true);
  return absolute.cast<std::string>();
}

// A relative save path in the program means what it means to the host: the program then runs
// at the host's working directory path, where it sees nothing but the save folder.
std::string working_directory(py::dict state, const std::string& save) {
  if (save.empty()) return "";
  py::object save_path = state[contract::key::kSavePath];
  if (common::truthy(os_path().attr("isabs")(save_path))) return save;
  return py::module_::import("os").attr("getcwd")().cast<std::string>();
}

// The launcher's request for an isolated run with this state; standard input and time left out.
core::SandboxRequest isolated_request(py::dict state) {
  const std::string save = save_folder(state);
  const std::string fonts = font_cache_folder();
  core::SandboxRequest request;
  request.argv = isolated_command(
      interpreter_command(), save, working_directory(state, save),
      fonts.empty() ? std::vector<std::string>{} : std::vector<std::string>{fonts});
  request.environment = base_environment();
  request.environment.push_back("HOME=" + std::string(kInsideHome));
  request.environment.push_back("TMPDIR=/tmp");
  request.environment.push_back("MPLCONFIGDIR=/tmp/matplotlib");
  if (!fonts.empty()) request.environment.push_back("NORVIAI_FONT_CACHE=" + fonts);
  return request;
}

// A warm child serves only a run whose command and environment are exactly those it was started
// with, so it has the same isolation (save folder included) as a cold run would.
std::string request_key(const core::SandboxRequest& request) {
  std::string key;
  for (const auto& part : request.argv) key += part + '\0';
  key += '\0';
  for (const auto& part : request.environment) key += part + '\0';
  return key;
}

struct WarmChild {
  std::string key;
  std::unique_ptr<core::PendingSandbox> child;
};

// Pending warm children, newest last; touched only with the GIL held. Destroyed at process exit,
// which kills and reaps whatever is still waiting.
std::vector<WarmChild>& warm_children() {
  static std::vector<WarmChild> children;
  return children;
}

std::unique_ptr<core::PendingSandbox> take_warm_child(const core::SandboxRequest& request) {
  auto& children = warm_children();
  const std::string key = request_key(request);
  const auto found = std::find_if(children.begin(), children.end(),
                                  [&](const WarmChild& warm) { return warm.key == key; });
  if (found == children.end()) return nullptr;
  std::unique_ptr<core::PendingSandbox> child = std::move(found->child);
  children.erase(found);
  // One that waited too long ends itself, and one the system ended cannot take the program.
  if (child->has_exited() || child->age() > kWarmUsableFor) {
    py::gil_scoped_release release;
    child.reset();
  }
  return child;
}

core::SandboxResult finish_released(core::PendingSandbox& child,
                                    const core::SandboxRequest& request) {
  py::gil_scoped_release release;
  const auto ready_within = std::chrono::duration_cast<std::chrono::milliseconds>(
      kWarmReadyWithin + request.limits.wall_time);
  return child.finish(request.standard_input, request.limits.wall_time, ready_within);
}

py::dict run_unisolated(py::object code, py::dict state, double limit) {
  py::module_::import("sys").attr("stderr").attr("write")(kUnisolatedWarning);
  const std::string scratch = py::module_::import("tempfile")
                                  .attr("mkdtemp")(py::arg("prefix") = "norviai-run-")
                                  .cast<std::string>();
  const std::string save = save_folder(state);
  core::SandboxRequest request;
  request.argv = interpreter_command();
  request.environment = base_environment();
  for (const auto& name : {"HOME=", "TMPDIR="}) request.environment.push_back(name + scratch);
  request.environment.push_back("MPLCONFIGDIR=" + scratch);
  request.working_directory = save.empty() ? scratch : working_directory(state, save);
  request.standard_input = code.cast<std::string>();
  request.limits.wall_time = wall_time(limit);
  const core::SandboxResult result = run_released(request);
  // rm walks a tree of any depth the program may have left there.
  core::SandboxRequest remove;
  remove.argv = {"/bin/rm", "-rf", "--one-file-system", "--", scratch};
  run_released(remove);
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  return interpret(result, limit);
}

// The isolated request a warm child for this state would serve; nothing where none can start.
std::optional<core::SandboxRequest> warm_request(py::handle state) {
  if (isolation_turned_off() || !py::isinstance<py::dict>(state) ||
      ::access(launcher_path().c_str(), X_OK) != 0) {
    return std::nullopt;
  }
  // An unusable save path or limit fails the run itself, with its own message, later.
  std::optional<core::SandboxRequest> request;
  common::except_exception(
      [&]() -> py::object {
        request = isolated_request(py::reinterpret_borrow<py::dict>(state));
        return py::none();
      },
      [](py::object) -> py::object { return py::none(); });
  return request;
}

// Removes and returns the waiting children started for `key`; dropping them kills and reaps.
std::vector<WarmChild> take_warm_children(const std::string& key) {
  auto& children = warm_children();
  std::vector<WarmChild> taken;
  for (auto it = children.begin(); it != children.end();) {
    if (it->key == key) {
      taken.push_back(std::move(*it));
      it = children.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

}  // namespace

py::dict analysis_failure(const std::string& error_text) { return failure(error_text); }

void drop_warm_analysis(py::handle state) {
  const std::optional<core::SandboxRequest> request = warm_request(state);
  if (!request) return;
  const std::string key = request_key(*request);
  std::vector<WarmChild> dropped = take_warm_children(key);
  py::gil_scoped_release release;
  dropped.clear();  // kills and reaps
}

void reserve_warm_analyses(std::size_t count) {
  max_warm_children = std::max(max_warm_children, count);
}

void start_warm_analysis(py::handle state) {
  std::optional<core::SandboxRequest> started = warm_request(state);
  if (!started) return;
  core::SandboxRequest& request = *started;
  const std::string key = request_key(request);
  // The CPU limit covers the wait as well; the wall-time limit starts at the hand-over.
  request.limits.wall_time = wall_time(code_time_limit()) + kWarmWait;
  request.environment.push_back("NORVIAI_WARM_WAIT=" + std::to_string(kWarmWait.count()));
  std::vector<WarmChild> dropped = take_warm_children(key);
  auto& children = warm_children();
  while (children.size() >= max_warm_children) {
    dropped.push_back(std::move(children.front()));
    children.erase(children.begin());
  }
  std::unique_ptr<core::PendingSandbox> child;
  {
    py::gil_scoped_release release;
    dropped.clear();
    child = core::PendingSandbox::start(request);
  }
  children.push_back({key, std::move(child)});
}

py::dict run_analysis(py::object code, py::dict state) {
  const double limit = code_time_limit();
  if (isolation_turned_off()) return run_unisolated(code, state, limit);
  const std::string launcher = launcher_path();
  if (::access(launcher.c_str(), X_OK) != 0) {
    return failure("RuntimeError: the analysis run could not be isolated: " + launcher +
                   " is missing; reinstall the package, or set NORVIAI_SANDBOX=off to run "
                   "analysis code without isolation (unsafe)");
  }
  core::SandboxRequest request = isolated_request(state);
  request.standard_input = code.cast<std::string>();
  request.limits.wall_time = wall_time(limit);
  std::unique_ptr<core::PendingSandbox> warm = take_warm_child(request);
  const core::SandboxResult result = warm ? finish_released(*warm, request) : run_released(request);
  warm.reset();
  // The program runs in its own session, so Ctrl-C during the run only reached the host.
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  return interpret(result, limit);
}

}  // namespace norviai::flowsteps
