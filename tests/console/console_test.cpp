#include "nalto/console/console.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/env.hpp"

namespace nalto {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

using testing::ScopedEnv;

// The environment of a colour terminal, so a terminal flag alone decides colour and animation.
struct ColourEnv {
  ScopedEnv force{"FORCE_COLOR", nullptr};
  ScopedEnv no_colour{"NO_COLOR", nullptr};
  ScopedEnv term{"TERM", "xterm-256color"};
};

// A stream that another thread may write while the test waits for what it expects.
class WatchedStream : std::streambuf {
 public:
  std::ostream& stream() { return stream_; }
  std::string text() {
    std::lock_guard lock(mutex_);
    return text_;
  }
  bool wait_for(std::string_view needle) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20),
                             [&] { return text_.find(needle) != std::string::npos; });
  }

 private:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    xsputn(&ch, 1);
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    {
      std::lock_guard lock(mutex_);
      text_.append(s, static_cast<std::size_t>(n));
    }
    changed_.notify_all();
    return n;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
  std::ostream stream_{this};
};

// Whether every other thread of the process sleeps (Linux): a stop that only a timeout would notice
// must be tested against a spinner thread already in its wait, not one still starting.
bool other_threads_asleep() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  const std::string self = std::to_string(gettid());
  const auto asleep = [&] {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      if (task.path().filename() == self) continue;
      std::ifstream stat(task.path() / "stat");
      std::string line;
      std::getline(stat, line);
      const std::size_t name_end = line.rfind(')');
      if (name_end == std::string::npos || line.compare(name_end, 3, ") S") != 0) return false;
    }
    return true;
  };
  while (!asleep()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

constexpr auto HIDE = "\x1b[?25l"sv;
constexpr auto SHOW = "\x1b[?25h"sv;
constexpr auto CLEAR = "\r\x1b[2K"sv;

std::string frame(std::string_view glyph, std::string_view text) {
  return std::string(CLEAR) + std::string(glyph) + " " + std::string(text);
}

TEST(Markup, TagsAndNonTagsInBothModes) {
  struct Case {
    std::string_view markup, plain, coloured;
  };
  const Case cases[] = {
      {"[green]ok[/green]", "ok", "\x1b[32mok\x1b[0m"},
      {"[yellow]slow[/yellow]", "slow", "\x1b[33mslow\x1b[0m"},
      {"[red]bad[/red]", "bad", "\x1b[31mbad\x1b[0m"},
      {"[dim]quiet[/dim]", "quiet", "\x1b[2mquiet\x1b[0m"},
      {"[red]a[dim]b[/dim]c[/red]", "abc", "\x1b[31ma\x1b[2mb\x1b[0m\x1b[31mc\x1b[0m"},
      {"[red]a[green]b[/red]c[/green]", "abc", "\x1b[31ma\x1b[32mb\x1b[0m\x1b[32mc\x1b[0m"},
      {"[red]a[dim]b[red]c[/red]d", "abcd", "\x1b[31ma\x1b[2mb\x1b[31mc\x1b[0m\x1b[31m\x1b[2md\x1b[0m"},
      {"a[/green]b[/dim]", "ab", "ab"},
      {"[yellow]open", "open", "\x1b[33mopen\x1b[0m"},
      {"[[green]x[/green]]", "[x]", "[\x1b[32mx\x1b[0m]"},
      {"[0] [bold]b[/bold] ['a'] [ green] [Green] [green [/ red] []",
       "[0] [bold]b[/bold] ['a'] [ green] [Green] [green [/ red] []",
       "[0] [bold]b[/bold] ['a'] [ green] [Green] [green [/ red] []"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.markup);
    EXPECT_EQ(render_markup(c.markup, false), c.plain);
    EXPECT_EQ(render_markup(c.markup, true), c.coloured);
  }
}

TEST(Markup, UntrustedTextIsNeutralisedInBothModes) {
  struct Case {
    std::string_view markup, rendered;
  };
  const Case cases[] = {
      {"a\x1b[31mb", "a\\x1b[31mb"},
      {"a\rb", "a\\x0db"},
      {"a\0b"sv, "a\\x00b"},
      {"del\x7f", "del\\x7f"},
      {"\xc2\x9b"
       "2J",
       "\\x9b2J"},
      {"\xc2\x80\xc2\x9f", "\\x80\\x9f"},
      {"\xe2\x80\xaa\xe2\x80\xae\xe2\x81\xa6\xe2\x81\xa9", "\\u202a\\u202e\\u2066\\u2069"},
      {"a\xff"
       "b",
       "a\xef\xbf\xbd"
       "b"},
      {"\xe6\xbc", "\xef\xbf\xbd\xef\xbf\xbd"},
      {"line\n\tnext", "line\n\tnext"},
      {"\xe2\x80\x8f\xe6\xbc\xa2", "\xe2\x80\x8f\xe6\xbc\xa2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rendered);
    EXPECT_EQ(render_markup(c.markup, false), c.rendered);
    EXPECT_EQ(render_markup(c.markup, true), c.rendered);
  }
  EXPECT_EQ(render_markup("\x1b[green]x", true), "\\x1b\x1b[32mx\x1b[0m");
}

TEST(Markup, LiteralTextKeepsItsTagsAsText) {
  for (const std::string_view text : {"[red]x[/red]", "[[green]]", "a[dim", "[/yellow]", "plain [0]"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(render_markup(markup_literal(text), false), text);
    // Inside a coloured span, the text's own tags neither colour nor end it.
    EXPECT_EQ(render_markup("[green]" + markup_literal(text) + "[/green]", false), text);
  }
  const std::string coloured = render_markup("[green]" + markup_literal("a[/green]b") + "[/green]", true);
  EXPECT_TRUE(coloured.ends_with("\x1b[32m/green]b\x1b[0m")) << coloured;
  EXPECT_EQ(display_width(render_markup(markup_literal("[red]"), false)), 5u);
}

TEST(DisplayWidth, CountsTerminalColumns) {
  const std::pair<std::string_view, std::size_t> cases[] = {
      {"", 0},
      {"abc", 3},
      {"漢字", 4},
      {"Ａ", 2},
      {"ｱ", 1},
      {"😀", 2},
      {"e\xcc\x81", 1},
      {"\xe2\x83\x9d", 0},
      {"a\xe2\x80\x8b"
       "b",
       2},
      {"\xff", 1},
  };
  for (const auto& [text, width] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(display_width(text), width);
  }
}

TEST(Colour, EnvironmentDecides) {
  struct Case {
    const char *force, *no_colour, *term;
    bool is_terminal, expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, "xterm", true, true}, {nullptr, nullptr, "xterm", false, false},
      {nullptr, nullptr, nullptr, true, true}, {nullptr, "1", "xterm", true, false},
      {nullptr, "", "xterm", true, true},      {nullptr, nullptr, "dumb", true, false},
      {"1", "1", "dumb", false, true},         {"", "1", "xterm", true, false},
      {"1", nullptr, "xterm", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.force ? c.force : "-") << " " << (c.no_colour ? c.no_colour : "-")
                                      << " " << (c.term ? c.term : "-") << " " << c.is_terminal);
    const ScopedEnv force("FORCE_COLOR", c.force), no_colour("NO_COLOR", c.no_colour), term("TERM", c.term);
    EXPECT_EQ(colour_enabled(c.is_terminal), c.expected);
  }
}

TEST(Console, PrintRendersForTheOutStream) {
  const ColourEnv env;
  for (const bool terminal : {false, true}) {
    std::ostringstream out, err;
    Console console({&out, &err, terminal, false});
    EXPECT_EQ(console.out_colour(), terminal);
    console.print("[green]ok[/green] \x1b[2J");
    EXPECT_EQ(out.str(), terminal ? "\x1b[32mok\x1b[0m \\x1b[2J\n" : "ok \\x1b[2J\n");
    EXPECT_EQ(err.str(), "");
  }
  const ScopedEnv no_colour("NO_COLOR", "1");
  std::ostringstream out, err;
  EXPECT_FALSE(Console({&out, &err, true, true}).out_colour());
  EXPECT_THROW(Console({nullptr, &err}), std::invalid_argument);
}

Table reports_table() {
  Table table("[dim]Simulation reports[/dim]", {"Use case", "Report", "Score"});
  table.add_row({"Room A", "[green]ready[/green]", "87.5"});
  table.add_row({"会議室", "[red]failed[/red]"});
  table.add_row(
      {"B\x1b"
       "C",
       "x"});
  return table;
}

TEST(Table, RowsArePaddedAndExtraCellsRejected) {
  Table table("t", {"a", "b"});
  table.add_row({"1"});
  EXPECT_THROW(table.add_row({"1", "2", "3"}), std::invalid_argument);
  ASSERT_EQ(table.rows().size(), 1u);
  EXPECT_EQ(table.rows()[0], (std::vector<std::string>{"1", ""}));
}

TEST(Table, PlainExactBytes) {
  const ColourEnv env;
  std::ostringstream out, err;
  Console({&out, &err, false, false}).print(reports_table());
  EXPECT_EQ(out.str(),
            "Simulation reports\n"
            "┌──────────┬────────┬───────┐\n"
            "│ Use case │ Report │ Score │\n"
            "├──────────┼────────┼───────┤\n"
            "│ Room A   │ ready  │ 87.5  │\n"
            "│ 会議室   │ failed │       │\n"
            "│ B\\x1bC   │ x      │       │\n"
            "└──────────┴────────┴───────┘\n");
}

TEST(Table, ColouredExactBytes) {
  const ColourEnv env;
  std::ostringstream out, err;
  Table table("", {"Name", "State"});
  table.add_row({"a\nb", "[green]ok"});
  Console({&out, &err, true, false}).print(reports_table());
  Console({&out, &err, true, false}).print(table);
  EXPECT_EQ(out.str(),
            "\x1b[2mSimulation reports\x1b[0m\n"
            "┌──────────┬────────┬───────┐\n"
            "│ Use case │ Report │ Score │\n"
            "├──────────┼────────┼───────┤\n"
            "│ Room A   │ \x1b[32mready\x1b[0m  │ 87.5  │\n"
            "│ 会議室   │ \x1b[31mfailed\x1b[0m │       │\n"
            "│ B\\x1bC   │ x      │       │\n"
            "└──────────┴────────┴───────┘\n"
            "┌────────┬───────┐\n"
            "│ Name   │ State │\n"
            "├────────┼───────┤\n"
            "│ a\\x0ab │ \x1b[32mok\x1b[0m    │\n"
            "└────────┴───────┘\n");
}

TEST(ConsoleStatus, WithoutAnimationWritesNothingButTraces) {
  const ColourEnv env;
  struct Case {
    bool err_is_terminal;
    const char* term;
  };
  for (const Case& c : {Case{false, "xterm"}, Case{true, "dumb"}}) {
    SCOPED_TRACE(c.term);
    const ScopedEnv term("TERM", c.term);
    std::ostringstream out, err;
    Console console({&out, &err, false, c.err_is_terminal});
    std::vector<std::string> heard;
    {
      Status status =
          console.status("[green]Waiting[/green]", [&](const std::string& t) { heard.push_back(t); });
      status.update("Still \x1b");
      console.print("line");
    }
    EXPECT_EQ(heard, (std::vector<std::string>{"[green]Waiting[/green]", "Still \x1b"}));
    EXPECT_EQ(out.str(), "line\n");
    EXPECT_EQ(err.str(), "");
  }
}

TEST(ConsoleStatus, TerminalDrawsUpdatesAndClears) {
  const ColourEnv env;
  std::ostringstream out, err;
  Console console({&out, &err, false, true, std::chrono::milliseconds(0)});
  std::vector<std::string> heard;
  std::string expected = std::string(HIDE) + frame("⠋", "\x1b[32mBuild\x1b[0m");
  {
    Status status = console.status("[green]Build[/green]", [&](const std::string& t) { heard.push_back(t); });
    EXPECT_EQ(err.str(), expected);
    status.update("Run\n\x1b");
    expected += frame("⠋", "Run\\x0a\\x1b");
    EXPECT_EQ(err.str(), expected);
  }
  EXPECT_EQ(err.str(), expected + std::string(CLEAR) + std::string(SHOW));
  EXPECT_EQ(heard, (std::vector<std::string>{"[green]Build[/green]", "Run\n\x1b"}));
  EXPECT_EQ(out.str(), "");
}

TEST(ConsoleStatus, LongTextIsCutToTheTerminalWidth) {
  const ColourEnv env;
  std::ostringstream out, err;
  std::size_t columns = 12;
  Console console({.out = &out,
                   .err = &err,
                   .err_is_terminal = true,
                   .frame_interval = std::chrono::milliseconds(0),
                   .err_columns = [&] { return columns; }});
  {
    Status status = console.status("Replaying 漢字 episode 3");
    EXPECT_EQ(err.str(), std::string(HIDE) + frame("⠋", "Replayin…"));
    columns = 0;  // unknown: nothing is cut
    status.update("Replaying 漢字 episode 4");
    EXPECT_TRUE(err.str().ends_with(frame("⠋", "Replaying 漢字 episode 4")));
    columns = 14;  // a wide character that would straddle the edge is left out whole
    status.update("Replaying 漢字 episode 5");
    EXPECT_TRUE(err.str().ends_with(frame("⠋", "Replaying …")));
  }
}

TEST(ConsoleStatus, UnwindingRestoresTheCursor) {
  const ColourEnv env;
  std::ostringstream out, err;
  Console console({&out, &err, false, true, std::chrono::milliseconds(0)});
  EXPECT_THROW(
      {
        Status status = console.status("Work");
        throw std::runtime_error("boom");
      },
      std::runtime_error);
  EXPECT_EQ(err.str(), std::string(HIDE) + frame("⠋", "Work") + std::string(CLEAR) + std::string(SHOW));
}

TEST(ConsoleStatus, PrintClearsAndRedrawsTheLine) {
  const ColourEnv env;
  std::ostringstream both;
  Console console({&both, &both, false, true, std::chrono::milliseconds(0)});
  Table table("", {"A"});
  {
    Status status = console.status("Work");
    console.print("line");
    console.print(table);
  }
  console.print("after");
  const std::string drawn = frame("⠋", "Work");
  EXPECT_EQ(both.str(), std::string(HIDE) + drawn + std::string(CLEAR) + "line\n" + drawn +
                            std::string(CLEAR) + "┌───┐\n│ A │\n├───┤\n└───┘\n" + drawn + std::string(CLEAR) +
                            std::string(SHOW) + "after\n");
}

TEST(ConsoleStatus, NewerStatusTakesTheLineAndGivesItBack) {
  const ColourEnv env;
  std::ostringstream err;
  Console console({&err, &err, false, true, std::chrono::milliseconds(0)});
  struct Held {
    Status status;
  };
  std::string expected;
  {
    Status outer = console.status("outer");
    {
      Status inner = console.status("inner");
      outer.update("outer 2");
      expected = std::string(HIDE) + frame("⠋", "outer") + std::string(HIDE) + frame("⠋", "inner");
      EXPECT_EQ(err.str(), expected);
    }
    expected += frame("⠋", "outer 2");
    EXPECT_EQ(err.str(), expected);
  }
  expected += std::string(CLEAR) + std::string(SHOW);
  EXPECT_EQ(err.str(), expected);

  auto first = std::unique_ptr<Held>(new Held{console.status("a")});
  auto second = std::unique_ptr<Held>(new Held{console.status("b")});
  expected += std::string(HIDE) + frame("⠋", "a") + std::string(HIDE) + frame("⠋", "b");
  first.reset();
  second->status.update("b2");
  expected += frame("⠋", "b2");
  EXPECT_EQ(err.str(), expected);
  second.reset();
  EXPECT_EQ(err.str(), expected + std::string(CLEAR) + std::string(SHOW));
}

TEST(ConsoleStatus, ThreadAnimatesFrames) {
  const ColourEnv env;
  WatchedStream err;
  std::ostringstream out;
  Console console({&out, &err.stream(), false, true, std::chrono::milliseconds(1)});
  {
    Status status = console.status("spin");
    ASSERT_TRUE(err.wait_for(frame("⠸", "spin")));
    console.print("line");
  }
  const std::string text = err.text();
  EXPECT_TRUE(text.starts_with(std::string(HIDE) + frame("⠋", "spin") + frame("⠙", "spin") +
                               frame("⠹", "spin") + frame("⠸", "spin")))
      << text;
  EXPECT_TRUE(text.ends_with(std::string(CLEAR) + std::string(SHOW))) << text;
  EXPECT_EQ(out.str(), "line\n");
}

TEST(ConsoleStatus, DestructionWakesTheThreadAtOnce) {
  const ColourEnv env;
  std::ostringstream out, err;
  Console console({&out, &err, false, true, std::chrono::hours(1)});
  std::chrono::steady_clock::time_point start;
  {
    Status status = console.status("wait");
    ASSERT_TRUE(other_threads_asleep());
    start = std::chrono::steady_clock::now();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(err.str(), std::string(HIDE) + frame("⠋", "wait") + std::string(CLEAR) + std::string(SHOW));
}

TEST(Console, ScopedConsoleInstallsAndRestores) {
  const ColourEnv env;
  Console& standard = console();
  std::ostringstream out, err, inner_out;
  Console mine({&out, &err});
  Console inner({&inner_out, &err});
  {
    const ScopedConsole scoped(mine);
    EXPECT_EQ(&console(), &mine);
    {
      const ScopedConsole nested(inner);
      console().print("[red]inner[/red]");
    }
    console().print("outer");
  }
  EXPECT_EQ(&console(), &standard);
  EXPECT_EQ(out.str(), "outer\n");
  EXPECT_EQ(inner_out.str(), "inner\n");
}

}  // namespace
}  // namespace nalto
