// norviai.cli: the `norviai` command line.
#include "modules/cli/cli.hpp"

PYBIND11_MODULE(cli, m) {
  norviai::cli::define_offline_model(m);
  norviai::cli::define_progress_handler(m);
  norviai::cli::define_commands(m);
}
