#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

#include "compute_node.hpp"

namespace {

using nalto::node_app::Catalog;
using nalto::node_app::EvidencePages;
using nalto::node_app::PageStore;
using nalto::node_app::RunIndex;
using nalto::node_app::RunRetention;
using nalto::node_app::Server;
using nalto::node_app::ServerOptions;

constexpr const char* PROGRAM = "nalto-compute-node";
constexpr const char* TOKEN_VARIABLE = "NALTO_COMPUTE_TOKEN";

// Ends the process as `signal` would have, had it not been blocked: the shell sees the signal.
[[noreturn]] void die_by(int signal) {
  std::signal(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  std::raise(signal);
  std::_Exit(128 + signal);
}

std::string url_host(const std::string& host) {
  return host.find(':') != std::string::npos && host.front() != '[' ? "[" + host + "]" : host;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any other thread or parse: the token is read into this process only once no other process
  // of its user can read it there.
  std::optional<std::string> token_variable;
  try {
    token_variable = nalto::node_app::take_secret_from_environment(TOKEN_VARIABLE);
  } catch (const std::exception& e) {
    std::cerr << PROGRAM << ": " << e.what() << "\n";
    return 1;
  }

  CLI::App app{
      "Serves local datasets to the publish-report step and scores a sim's predictions against "
      "their sensor truth, which never leaves this machine.",
      PROGRAM};
  std::string datasets, host = "127.0.0.1", token_file, state_dir, refused_token;
  int port = 8470;
  std::size_t keep_runs = RunRetention{}.runs, keep_pages = 100;
  bool allow_remote = false, no_pages = false;
  app.add_option("--datasets", datasets, "a folder of dataset folders (dataset.json and rows.csv each)")
      ->required();
  app.add_option("--host", host, "the address to listen on (loopback only, unless --allow-remote)")
      ->capture_default_str();
  app.add_option("--port", port, "the port to listen on; 0 picks a free one")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  app.add_option("--token-file", token_file,
                 "demand \"Authorization: Bearer TOKEN\" on every request, TOKEN being this file's line (the "
                 "file readable by its owner only); else the token is NALTO_COMPUTE_TOKEN, if set")
      ->type_name("FILE");
  app.add_option("--state-dir", state_dir,
                 "keep the index of the validation runs analyzed in DIR/runs, so that it outlives a restart, "
                 "and the evidence pages in DIR/pages (DIR is made if missing, and must be its owner's only)")
      ->type_name("DIR");
  app.add_option("--keep-runs", keep_runs, "the validation runs whose bundle the node keeps, the latest ones")
      ->type_name("N")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{10'000'000}));
  app.add_option("--keep-pages", keep_pages,
                 "the evidence pages kept in DIR/pages (of --state-dir), the latest ones; each may take MBs")
      ->type_name("N")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{1'000'000}));
  app.add_flag("--no-evidence-pages", no_pages,
               "write no evidence pages (a page holds recorded values); a request for one is told so");
  // Taken only to be refused with the way that keeps the token out of the process list.
  app.add_option("--token", refused_token)->expected(0, 1)->group("");
  app.add_flag("--allow-remote", allow_remote, "allow a --host that other machines can reach");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help ends well; any other misuse ends as bad usage, like the project's other command.
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (app.count("--token")) {
    std::cerr << PROGRAM
              << ": --token puts the token on the command line, where every local user can read it; use "
                 "--token-file FILE (readable by its owner only) or NALTO_COMPUTE_TOKEN\n"
              << "Run with --help for more information.\n";
    return 2;
  }

  if (!allow_remote && !nalto::node_app::is_loopback(host)) {
    std::cerr << PROGRAM << ": " << host
              << " is not a loopback address; the node would serve its datasets to other machines (give "
                 "--allow-remote if that is meant)\n";
    return 2;
  }

  auto log_mutex = std::make_shared<std::mutex>();
  const auto log = [log_mutex](const std::string& line) {
    const std::lock_guard lock(*log_mutex);
    std::cerr << PROGRAM << ": " << line << '\n';
  };
  std::optional<std::string> token =
      token_variable && !token_variable->empty() ? token_variable : std::nullopt;
  std::optional<RunIndex> runs;
  EvidencePages pages;
  try {
    if (!token_file.empty()) token = nalto::node_app::read_token_file(token_file);
    const RunRetention retention{.runs = keep_runs};
    runs = state_dir.empty() ? RunIndex(retention)
                             : RunIndex::in_folder(state_dir, retention, [&log](const std::string& line) {
                                 log(nalto::node_app::printable(line));
                               });
    if (no_pages)
      pages.refusal =
          "this compute node writes no evidence pages (its operator started it with --no-evidence-pages)";
    else if (!state_dir.empty())
      pages.store = PageStore::in_folder(state_dir, keep_pages);
  } catch (const std::exception& e) {
    std::cerr << PROGRAM << ": " << nalto::node_app::printable(e.what()) << "\n";
    return 2;
  }

  // Signals are taken by one thread of ours, started before the datasets are read: reading them may
  // take long (or hang on a slow disk), and a signal must end the node then too. Every thread started
  // from here on inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::atomic<Server*> serving = nullptr;
  std::atomic<bool> done = false;
  std::thread watcher([&stop_signals, &serving, &done] {
    int signal = 0;
    sigwait(&stop_signals, &signal);
    if (done) return;
    if (!serving) die_by(signal);
    // A stop reaches only a server that is listening already; a signal may come just before.
    while (!done) {
      if (serving.load()->running()) {
        serving.load()->stop();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  // However main ends, the watcher ends first: woken from its wait, or seeing `done`. When a server
  // is serving, before the server goes.
  struct EndWatcher {
    std::thread& watcher;
    std::atomic<bool>& done;
    void operator()() {
      if (!watcher.joinable()) return;
      done = true;
      pthread_kill(watcher.native_handle(), SIGTERM);
      watcher.join();
    }
    ~EndWatcher() { (*this)(); }
  } end_watcher{watcher, done};

  try {
    Catalog catalog = Catalog::load(datasets);
    for (const nalto::node_app::CatalogEntry& entry : catalog.entries())
      if (!entry.dataset)
        log(nalto::node_app::printable("skipped the dataset folder " + entry.folder.string() + ": " +
                                       entry.failure));
    const std::size_t count = catalog.size();
    if (count == 0)
      std::cerr << PROGRAM << ": no dataset folder (with a dataset.json) in " << datasets << "\n";
    Server server(std::move(catalog), ServerOptions{.token = std::move(token), .log = log}, std::move(*runs),
                  std::move(pages));
    const int bound = server.bind(host, port);
    serving = &server;
    std::cout << PROGRAM << ": serving " << count << (count == 1 ? " dataset" : " datasets") << " on http://"
              << url_host(host) << ":" << bound << std::endl;
    server.serve();
    // serve() also ends without a signal when listening fails.
    end_watcher();
  } catch (const std::exception& e) {
    // The message may name a folder, whose name is anyone's.
    std::cerr << PROGRAM << ": " << nalto::node_app::printable(e.what()) << "\n";
    return 1;
  }
  return 0;
}
