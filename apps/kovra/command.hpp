#pragma once

// The command table of the `kovra` tool and what every command shares: the console (the tool's
// own output, the library's messages, a progress line) and the checks of input paths.

#include <CLI/CLI.hpp>

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

namespace kovra_cli {

/// A bad input the user can fix (a missing path, a bad value): reported as one line, exit 1.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Where output goes. The library prints its progress to std::cout; with `quiet` those
/// messages are dropped while the tool's own results still reach the original stdout.
class Console {
 public:
  Console();
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  /// Silences std::cout (the library's messages) from now on.
  void set_quiet(bool quiet);
  bool quiet() const { return quiet_; }

  /// The tool's own output (the original standard output).
  std::ostream& out() { return *out_; }

  /// One progress line on stderr, rewritten in place; shown only when stderr is a terminal.
  void progress(const std::string& text);
  /// Removes the progress line, so that the next output starts on a clean line.
  void end_progress();

 private:
  class NullBuffer : public std::streambuf {
   protected:
    int overflow(int c) override { return c == EOF ? 0 : c; }
  };

  std::streambuf* original_;
  std::unique_ptr<std::ostream> out_;
  NullBuffer null_;
  bool quiet_ = false;
  bool terminal_ = false;
  bool progress_shown_ = false;
};

/// Runs a parsed command; returns the exit code.
using Runner = std::function<int(Console&)>;

/// One subcommand: its name, a one-line summary, and a function that declares its arguments on
/// the subcommand's parser and returns the runner that uses them.
struct Command {
  const char* name;
  const char* summary;
  std::function<Runner(CLI::App&)> declare;
};

/// Every subcommand, in the order `kovra --help` lists them.
const std::vector<Command>& commands();

// Declarations of the subcommands, one file each.
Runner declare_catalogue(CLI::App& app);
Runner declare_extract(CLI::App& app);
Runner declare_report(CLI::App& app);
Runner declare_render(CLI::App& app);
Runner declare_fix_polygons(CLI::App& app);
Runner declare_heatmap(CLI::App& app);
Runner declare_clip_info(CLI::App& app);
Runner declare_demo(CLI::App& app);
Runner declare_video(CLI::App& app);
Runner declare_export(CLI::App& app);
Runner declare_evaluate(CLI::App& app);
Runner declare_swap(CLI::App& app);
Runner declare_reassign(CLI::App& app);
Runner declare_synthetic_camera(CLI::App& app);
Runner declare_behaviour(CLI::App& app);

// ---- shared checks --------------------------------------------------------------------------

/// Throws InputError naming `what` unless `path` is an existing folder.
void require_directory(const std::filesystem::path& path, const std::string& what);
/// Throws InputError naming `what` unless `path` is an existing regular file.
void require_file(const std::filesystem::path& path, const std::string& what);
/// Throws InputError naming `what` unless the folder that will hold `path` exists.
void require_parent_directory(const std::filesystem::path& path, const std::string& what);

}  // namespace kovra_cli
