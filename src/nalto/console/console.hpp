#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace nalto {

// A table of mark-up cells: a left-aligned title above named columns.
class Table {
 public:
  Table(std::string title, std::vector<std::string> columns);
  void add_row(std::vector<std::string> cells);

  const std::string& title() const noexcept { return title_; }
  const std::vector<std::string>& columns() const noexcept { return columns_; }
  const std::vector<std::vector<std::string>>& rows() const noexcept { return rows_; }

 private:
  std::string title_;
  std::vector<std::string> columns_;
  std::vector<std::vector<std::string>> rows_;
};

class Console;

// The one status line with a spinner, shown from construction until destruction. It is drawn on a
// terminal only (on stderr); destruction removes it and restores the cursor. A Status must not
// outlive its Console.
class Status {
 public:
  ~Status();
  Status(const Status&) = delete;
  Status& operator=(const Status&) = delete;

  void update(std::string text);
  // Shows `text` in its place on a terminal only, unheard by on_text: for figures that change too often
  // to be traced.
  void draw(std::string text);

 private:
  friend class Console;
  Status(Console& console, std::string text, std::function<void(const std::string&)> on_text);

  Console& console_;
  std::function<void(const std::string&)> on_text_;
  bool shown_ = false;         // drawn on a terminal, so linked into the console's stack
  std::string text_;           // guarded by the console's mutex
  Status* covered_ = nullptr;  // the status this one hides; guarded by the console's mutex
};

// Where a console writes and how. The default console writes to stdout/stderr and decides colour
// and animation from the streams and the environment.
struct ConsoleOptions {
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
  bool out_is_terminal = false;
  bool err_is_terminal = false;
  // Time between two spinner frames; zero draws the frame only when the text changes.
  std::chrono::milliseconds frame_interval{80};
  // The terminal's width for the status line, asked at every frame (a terminal can be resized);
  // zero or empty: unknown, never cut. A status line that wrapped could not be cleared.
  std::function<std::size_t()> err_columns;
};

// The shared console: lines of mark-up and tables on stdout, the status line on stderr.
// Mark-up knows eight tags, [green] [yellow] [red] [dim] and their closing forms; they become
// colours where colour is on and are dropped elsewhere. Text from outside never reaches the
// terminal as control characters.
class Console {
 public:
  explicit Console(ConsoleOptions options);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  void print(std::string_view markup);
  void print(const Table& table);

  // A line on stderr for failures and notices, below a status line that goes on. Its tags are
  // dropped, never coloured: a failure may quote text from outside.
  void note(std::string_view markup);

  // Text that is not mark-up (help, usage), as it stands but made harmless, on stdout or stderr.
  void write_out(std::string_view text);
  void write_err(std::string_view text);

  // Shows `text` with a spinner; `on_text` (optional) hears the text and every update, so a run
  // without a terminal can still be traced.
  [[nodiscard]] Status status(std::string text, std::function<void(const std::string&)> on_text = {});

  bool out_colour() const noexcept { return out_colour_; }
  const ConsoleOptions& options() const noexcept { return options_; }

 private:
  friend class Status;
  void write(std::ostream& stream, const std::string& rendered);
  void show(Status& status);
  void remove(Status& status);
  void update(Status& status, std::string text);
  void animate(std::size_t generation) noexcept;
  void draw_status_locked();
  void clear_status_locked();

  ConsoleOptions options_;
  bool out_colour_;
  bool err_colour_;
  bool animate_;
  std::mutex mutex_;
  Status* active_ = nullptr;  // guarded by mutex_
  std::size_t frame_ = 0;     // guarded by mutex_
  // One thread turns the spinner while any status is shown; a new generation tells it to end.
  std::size_t generation_ = 0;  // guarded by mutex_
  std::condition_variable wake_;
  std::thread animator_;
};

// The process-wide console (stdout, stderr), or the one a ScopedConsole installed.
Console& console();

class ScopedConsole {
 public:
  explicit ScopedConsole(Console& console);
  ~ScopedConsole();
  ScopedConsole(const ScopedConsole&) = delete;
  ScopedConsole& operator=(const ScopedConsole&) = delete;

 private:
  Console* previous_;
};

// Mark-up rendered for one stream: tags as SGR colours when `colour`, else dropped; control
// characters and invalid UTF-8 made harmless.
std::string render_markup(std::string_view markup, bool colour);

// Text from outside (a name, a server's message) for use inside mark-up, so that it shows as it stands:
// each tag in it is broken by an empty pair of tags, which renders to nothing.
std::string markup_literal(std::string_view text);

// Columns a text takes on a terminal (East Asian wide characters count two, combining marks zero).
std::size_t display_width(std::string_view text);

// Whether colour is on for a stream, given the environment (NO_COLOR, TERM=dumb, FORCE_COLOR).
bool colour_enabled(bool is_terminal);

}  // namespace nalto
