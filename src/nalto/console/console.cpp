#include "nalto/console/console.hpp"

#include <sys/ioctl.h>
#include <unicode/uchar.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <thread>

#include "nalto/support/hex.hpp"
#include "nalto/support/utf8.hpp"

namespace nalto {

namespace {

struct Tag {
  std::string_view name;
  std::string_view sgr;
};

constexpr std::array<Tag, 4> TAGS{{
    {"green", "\x1b[32m"},
    {"yellow", "\x1b[33m"},
    {"red", "\x1b[31m"},
    {"dim", "\x1b[2m"},
}};

constexpr std::string_view RESET = "\x1b[0m";
constexpr std::string_view CLEAR_LINE = "\r\x1b[2K";
constexpr std::string_view HIDE_CURSOR = "\x1b[?25l";
constexpr std::string_view SHOW_CURSOR = "\x1b[?25h";
constexpr std::array<std::string_view, 10> SPINNER{"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧", "⠇", "⠏"};

struct TagMatch {
  const Tag* tag;
  bool closing;
  std::size_t length;
};

std::optional<TagMatch> match_tag(std::string_view s) {
  if (s.empty() || s[0] != '[') return std::nullopt;
  const bool closing = s.size() > 1 && s[1] == '/';
  const std::string_view rest = s.substr(closing ? 2 : 1);
  for (const Tag& tag : TAGS) {
    if (rest.starts_with(tag.name) && rest.substr(tag.name.size()).starts_with(']')) {
      return TagMatch{&tag, closing, s.size() - rest.size() + tag.name.size() + 1};
    }
  }
  return std::nullopt;
}

void append_escape(std::string& out, std::string_view lead, char32_t cp, int digits) {
  out += lead;
  append_hex(out, cp, digits);
}

// A single line (a cell, a title, the status) must not break its layout, so there even "\n" and
// "\t" are shown as escapes.
void append_safe(std::string& out, char32_t cp, bool single_line) {
  const bool layout = !single_line && (cp == U'\n' || cp == U'\t');
  if ((cp < 0x20 && !layout) || (cp >= 0x7F && cp <= 0x9F)) {
    append_escape(out, "\\x", cp, 2);
  } else if ((cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069)) {
    append_escape(out, "\\u", cp, 4);
  } else {
    utf8::append(out, cp);
  }
}

std::string render(std::string_view markup, bool colour, bool single_line) {
  std::string out;
  out.reserve(markup.size());
  std::vector<const Tag*> open;
  for (std::size_t pos = 0; pos < markup.size();) {
    if (const std::optional<TagMatch> match = match_tag(markup.substr(pos))) {
      pos += match->length;
      if (!match->closing) {
        open.push_back(match->tag);
        if (colour) out += match->tag->sgr;
        continue;
      }
      const auto innermost = std::find(open.rbegin(), open.rend(), match->tag);
      if (innermost == open.rend()) continue;
      open.erase(std::next(innermost).base());
      if (colour) {
        out += RESET;
        for (const Tag* tag : open) out += tag->sgr;
      }
      continue;
    }
    const utf8::Step step = utf8::decode(markup, pos);
    append_safe(out, step.code_point, single_line);
    pos += step.length;
  }
  if (colour && !open.empty()) out += RESET;
  return out;
}

std::size_t code_point_width(char32_t cp) {
  const auto c = static_cast<UChar32>(cp);
  const int east_asian = u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
  if (east_asian == U_EA_WIDE || east_asian == U_EA_FULLWIDTH) return 2;
  const int type = u_charType(c);
  if (type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK || type == U_FORMAT_CHAR) return 0;
  return 1;
}

bool env_set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

bool term_is_dumb() {
  const char* term = std::getenv("TERM");
  return term != nullptr && std::string_view(term) == "dumb";
}

struct Cell {
  std::string text;
  std::size_t width;
};

std::string cut_to_width(std::string_view text, std::size_t columns) {
  std::size_t width = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const utf8::Step step = utf8::decode(text, pos);
    const std::size_t next = width + code_point_width(step.code_point);
    if (next > columns) break;
    width = next;
    pos += step.length;
  }
  return std::string(text.substr(0, pos));
}

std::string render_table(const Table& table, bool colour) {
  std::vector<std::vector<Cell>> lines;
  std::vector<std::size_t> widths(table.columns().size());
  const auto add_line = [&](const std::vector<std::string>& cells) {
    std::vector<Cell>& line = lines.emplace_back();
    for (std::size_t i = 0; i < cells.size(); ++i) {
      const std::size_t width = display_width(render(cells[i], false, true));
      line.push_back({render(cells[i], colour, true), width});
      widths[i] = std::max(widths[i], width);
    }
  };
  add_line(table.columns());
  for (const std::vector<std::string>& row : table.rows()) add_line(row);

  std::string out;
  if (!table.title().empty()) out += render(table.title(), colour, true) + "\n";
  const auto border = [&](std::string_view left, std::string_view middle, std::string_view right) {
    out += left;
    for (std::size_t i = 0; i < widths.size(); ++i) {
      if (i > 0) out += middle;
      for (std::size_t n = 0; n < widths[i] + 2; ++n) out += "─";
    }
    out += right;
    out += '\n';
  };
  const auto row = [&](const std::vector<Cell>& cells) {
    out += "│";
    for (std::size_t i = 0; i < cells.size(); ++i) {
      out += ' ';
      out += cells[i].text;
      out.append(widths[i] - cells[i].width + 1, ' ');
      out += "│";
    }
    out += '\n';
  };
  border("┌", "┬", "┐");
  row(lines.front());
  border("├", "┼", "┤");
  for (std::size_t i = 1; i < lines.size(); ++i) row(lines[i]);
  border("└", "┴", "┘");
  return out;
}

std::string sanitized(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const utf8::Step step = utf8::decode(text, pos);
    append_safe(out, step.code_point, false);
    pos += step.length;
  }
  return out;
}

std::atomic<Console*> installed{nullptr};

}  // namespace

std::string render_markup(std::string_view markup, bool colour) {
  return render(markup, colour, false);
}

std::string markup_literal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size(); ++pos) {
    out += text[pos];
    if (match_tag(text.substr(pos))) out += "[dim][/dim]";
  }
  return out;
}

std::size_t display_width(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const utf8::Step step = utf8::decode(text, pos);
    width += code_point_width(step.code_point);
    pos += step.length;
  }
  return width;
}

bool colour_enabled(bool is_terminal) {
  if (env_set("FORCE_COLOR")) return true;
  if (env_set("NO_COLOR")) return false;
  if (term_is_dumb()) return false;
  return is_terminal;
}

Table::Table(std::string title, std::vector<std::string> columns)
    : title_(std::move(title)), columns_(std::move(columns)) {}

void Table::add_row(std::vector<std::string> cells) {
  if (cells.size() > columns_.size()) {
    throw std::invalid_argument("a row of " + std::to_string(cells.size()) + " cells in a table of " +
                                std::to_string(columns_.size()) + " columns");
  }
  cells.resize(columns_.size());
  rows_.push_back(std::move(cells));
}

Status::Status(Console& console, std::string text, std::function<void(const std::string&)> on_text)
    : console_(console), on_text_(std::move(on_text)), text_(std::move(text)) {
  if (on_text_) on_text_(text_);
  if (console_.animate_) console_.show(*this);
}

Status::~Status() {
  if (shown_) console_.remove(*this);
}

void Status::update(std::string text) {
  if (on_text_) on_text_(text);
  if (shown_) console_.update(*this, std::move(text));
}

void Status::draw(std::string text) {
  if (shown_) console_.update(*this, std::move(text));
}

Console::Console(ConsoleOptions options)
    : options_(options),
      out_colour_(colour_enabled(options.out_is_terminal)),
      err_colour_(colour_enabled(options.err_is_terminal)),
      animate_(options.err_is_terminal && !term_is_dumb()) {
  if (options_.out == nullptr || options_.err == nullptr) {
    throw std::invalid_argument("a console needs both an out and an err stream");
  }
}

Console::~Console() {
  // Statuses never outlive their console, so the animation has ended; this only reaps its thread.
  if (animator_.joinable()) animator_.join();
}

void Console::print(std::string_view markup) {
  write(*options_.out, render_markup(markup, out_colour_) + "\n");
}

void Console::print(const Table& table) {
  write(*options_.out, render_table(table, out_colour_));
}

void Console::note(std::string_view markup) {
  write(*options_.err, render_markup(markup, false) + "\n");
}

void Console::write_out(std::string_view text) {
  write(*options_.out, sanitized(text));
}

void Console::write_err(std::string_view text) {
  write(*options_.err, sanitized(text));
}

Status Console::status(std::string text, std::function<void(const std::string&)> on_text) {
  return Status(*this, std::move(text), std::move(on_text));
}

void Console::write(std::ostream& stream, const std::string& rendered) {
  std::lock_guard lock(mutex_);
  if (active_ != nullptr) clear_status_locked();
  stream << rendered << std::flush;
  if (active_ != nullptr) draw_status_locked();
}

// Statuses stack: the newest is drawn, and when it goes the one it covered comes back.
void Console::show(Status& status) {
  std::thread finished;
  {
    std::lock_guard lock(mutex_);
    status.shown_ = true;
    status.covered_ = active_;
    const bool first = active_ == nullptr;
    active_ = &status;
    frame_ = 0;
    *options_.err << HIDE_CURSOR;
    draw_status_locked();
    if (first && options_.frame_interval.count() > 0) {
      // The thread of an earlier generation has been told to end; it is reaped here, outside the lock.
      finished = std::move(animator_);
      animator_ = std::thread([this, generation = generation_] { animate(generation); });
    }
  }
  if (finished.joinable()) finished.join();
}

void Console::remove(Status& status) {
  std::lock_guard lock(mutex_);
  if (active_ != &status) {
    for (Status* above = active_; above != nullptr; above = above->covered_) {
      if (above->covered_ == &status) {
        above->covered_ = status.covered_;
        break;
      }
    }
    return;
  }
  active_ = status.covered_;
  if (active_ == nullptr) {
    ++generation_;
    wake_.notify_all();
  }
  // A destructor has no one to report a failing stream to.
  try {
    if (active_ == nullptr) {
      clear_status_locked();
      *options_.err << SHOW_CURSOR << std::flush;
    } else {
      draw_status_locked();
    }
  } catch (...) {
  }
}

void Console::update(Status& status, std::string text) {
  std::lock_guard lock(mutex_);
  status.text_ = std::move(text);
  if (active_ == &status) draw_status_locked();
}

void Console::animate(std::size_t generation) noexcept {
  // A redraw that fails (out of memory) ends the animation; the status line itself stays.
  try {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, options_.frame_interval, [&] { return generation_ != generation; })) {
      ++frame_;
      draw_status_locked();
    }
  } catch (...) {
  }
}

void Console::draw_status_locked() {
  const std::string& status_text = active_->text_;
  std::string text = render(status_text, err_colour_, true);
  const std::size_t columns = options_.err_columns ? options_.err_columns() : 0;
  // The glyph, its space and one free column keep the line from wrapping.
  if (columns > 3) {
    const std::string plain = render(status_text, false, true);
    if (display_width(plain) > columns - 3) text = cut_to_width(plain, columns - 4) + "…";
  }
  *options_.err << CLEAR_LINE << SPINNER[frame_ % SPINNER.size()] << ' ' << text << std::flush;
}

void Console::clear_status_locked() {
  *options_.err << CLEAR_LINE << std::flush;
}

Console& console() {
  if (Console* current = installed.load()) return *current;
  static Console standard(ConsoleOptions{.out = &std::cout,
                                         .err = &std::cerr,
                                         .out_is_terminal = isatty(STDOUT_FILENO) == 1,
                                         .err_is_terminal = isatty(STDERR_FILENO) == 1,
                                         .err_columns = [] {
                                           winsize size{};
                                           if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0)
                                             return std::size_t{0};
                                           return std::size_t{size.ws_col};
                                         }});
  return standard;
}

ScopedConsole::ScopedConsole(Console& console) : previous_(installed.exchange(&console)) {}

ScopedConsole::~ScopedConsole() {
  installed.store(previous_);
}

}  // namespace nalto
