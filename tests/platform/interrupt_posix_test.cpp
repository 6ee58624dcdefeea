// Interrupts on POSIX: the first signal is only recorded, a second ends the
// process, threads started through thread_start() never take the signals,
// and console reads blocked on the main thread return when one comes.
//
// Every case that installs the handlers runs in a forked child, so that the
// handlers stay out of the test process itself.
#include <signal.h>

#include <cstring>
#include <functional>
#include <string>

#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/thread.h"
#include "tests/platform/posix_test_util.h"

namespace {

// Everything read from `fd` until its writers close it.
std::string read_all(int fd) {
  std::string got;
  char buffer[256];
  ssize_t n = 0;
  while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

void send_text(int fd, const std::string& text) {
  static_cast<void>(write(fd, text.data(), text.size()));
}

struct ChildRun {
  int exit_status = -1;  // -1: did not exit normally
  std::string report;    // what the child wrote to its report pipe
  std::string error;     // the child's standard error
};

// Runs `body(report_fd)` in a forked child whose standard error is captured;
// the child exits with what `body` returns.
ChildRun run_child(const std::function<int(int)>& body) {
  int report[2];
  int error[2];
  ChildRun run;
  if (pipe(report) != 0 || pipe(error) != 0) return run;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(10);
    close(report[0]);
    close(error[0]);
    dup2(error[1], STDERR_FILENO);
    _exit(body(report[1]));
  }
  close(report[1]);
  close(error[1]);
  run.report = read_all(report[0]);
  run.error = read_all(error[0]);
  close(report[0]);
  close(error[0]);
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    run.exit_status = WEXITSTATUS(status);
  }
  return run;
}

TEST(Interrupt, FirstSignalIsRecordedAndASecondEndsTheProcess) {
  struct Case {
    int first;
    const char* name;
    int second;
  };
  const Case cases[] = {
      {SIGTERM, "SIGTERM", SIGTERM},
      {SIGINT, "Ctrl-C", SIGINT},
      {SIGHUP, "SIGHUP", SIGTERM},
      {SIGTERM, "SIGTERM", SIGINT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + std::string(" then signal ") + std::to_string(c.second));
    const ChildRun run = run_child([&c](int report) {
      plat::interrupt_install();
      send_text(report, std::string(plat::interrupt_requested() ? "yes" : "no") + "|" +
                            plat::interrupt_name() + "|");
      raise(c.first);
      // Still here: the first interrupt only sets the flag.
      send_text(report, std::string(plat::interrupt_requested() ? "yes" : "no") + "|" +
                            plat::interrupt_name() + "|");
      raise(c.second);
      send_text(report, "survived");
      return 0;
    });
    EXPECT_EQ(run.report, std::string("no||yes|") + c.name + "|");
    EXPECT_EQ(run.exit_status, plat::InterruptExitStatus);
    EXPECT_EQ(run.error, "Interrupted again: ending at once.\n");
  }
}

TEST(Interrupt, RaiseAndResetForTestsNeverEndTheProcess) {
  const ChildRun run = run_child([](int report) {
    plat::interrupt_install();
    plat::interrupt_raise_for_test();
    plat::interrupt_raise_for_test();
    send_text(report, std::string(plat::interrupt_requested() ? "yes" : "no") + "|");
    plat::interrupt_reset_for_test();
    send_text(report, std::string(plat::interrupt_requested() ? "yes" : "no") + "|" +
                          plat::interrupt_name() + "|");
    // After a reset, a real signal counts as the first again.
    raise(SIGHUP);
    send_text(report, plat::interrupt_name());
    return 0;
  });
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.report, "yes|no||SIGHUP");
  EXPECT_EQ(run.error, "");
}

struct MaskSeen {
  bool queried = false;
  bool blocked[3] = {};
};

constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

void record_mask(void* arg) {
  auto* seen = static_cast<MaskSeen*>(arg);
  sigset_t mask;
  sigemptyset(&mask);
  if (pthread_sigmask(SIG_BLOCK, nullptr, &mask) != 0) return;
  for (int i = 0; i < 3; ++i) seen->blocked[i] = sigismember(&mask, kInterruptSignals[i]) == 1;
  seen->queried = true;
}

TEST(Interrupt, StartedThreadsBlockTheSignalsAndTheCallerKeepsItsMask) {
  sigset_t before;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &before), 0);
  MaskSeen seen;
  plat::ThreadHandle thread = plat::thread_start(record_mask, &seen, 0);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(plat::thread_wait(thread, 5000));
  EXPECT_TRUE(plat::thread_close(thread));
  ASSERT_TRUE(seen.queried);
  sigset_t after;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &after), 0);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(strsignal(kInterruptSignals[i]));
    EXPECT_TRUE(seen.blocked[i]);
    EXPECT_EQ(sigismember(&after, kInterruptSignals[i]), sigismember(&before, kInterruptSignals[i]));
  }
}

void ignore_signal(int) {}

// One read with the console function under test, its result as text.
using ConsoleRead = std::string (*)();

std::string read_key() { return std::to_string(plat::con_read_key()); }

std::string read_number() {
  int value = 0;
  return plat::con_read_int(&value) ? std::to_string(value) : "false";
}

// Waits up to `wait_ms` for the child to write to `fd`; what it wrote.
std::string read_some(int fd, int wait_ms) {
  pollfd entry{fd, POLLIN, 0};
  if (poll(&entry, 1, wait_ms) <= 0) return "";
  char buffer[256];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
}

TEST(Interrupt, BlockedConsoleReadsReturnOnAnInterruptButNotOnOtherSignals) {
  struct Case {
    const char* name;
    ConsoleRead read;
    const char* interrupted;  // result of the read the interrupt ends
    const char* next;         // result of the next read, given "7\n"
    const char* refused;      // result of a read with an interrupt already requested
  };
  const Case cases[] = {
      {"con_read_key", read_key, "-1", "55", "-1"},
      {"con_read_int", read_number, "false", "7", "false"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int input[2];
    int report[2];
    ASSERT_EQ(pipe(input), 0);
    ASSERT_EQ(pipe(report), 0);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      alarm(10);
      close(input[1]);
      close(report[0]);
      dup2(input[0], STDIN_FILENO);
      plat::interrupt_install();
      // Another signal with a handler and no restart: its EINTR must not end the read.
      struct sigaction other {};
      other.sa_handler = ignore_signal;
      sigaction(SIGUSR1, &other, nullptr);
      send_text(report[1], "ready");
      const auto start = std::chrono::steady_clock::now();
      const std::string first = c.read();
      const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count();
      const std::string at_end = plat::con_at_end() ? "end" : "more";
      const std::string name = plat::interrupt_name();
      send_text(report[1], first + "|" + at_end + "|" + name + "|" + std::to_string(waited));
      // The stream still works after the interrupt.
      plat::interrupt_reset_for_test();
      const std::string next = c.read();
      // An interrupt already requested ends the read before it waits.
      plat::interrupt_raise_for_test();
      const std::string refused = c.read();
      send_text(report[1], "|" + next + "|" + refused + "|" + (plat::con_at_end() ? "end" : "more"));
      _exit(0);
    }
    close(input[0]);
    close(report[1]);
    EXPECT_EQ(read_some(report[0], 5000), "ready");
    usleep(150 * 1000);
    kill(pid, SIGUSR1);
    usleep(150 * 1000);
    const auto sent = std::chrono::steady_clock::now();
    kill(pid, SIGINT);
    const std::string first = read_some(report[0], 5000);
    const auto answered = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - sent)
                              .count();
    send_text(input[1], "7\n");
    const std::string rest = read_all(report[0]);
    close(input[1]);
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

    // first: result|end|name|milliseconds the read waited
    const std::size_t last_bar = first.rfind('|');
    ASSERT_NE(last_bar, std::string::npos) << first;
    EXPECT_EQ(first.substr(0, last_bar), std::string(c.interrupted) + "|more|Ctrl-C");
    // The read outlasted SIGUSR1 (sent 150 ms before SIGINT) and ended promptly after SIGINT.
    EXPECT_GE(std::stoll(first.substr(last_bar + 1)), 250);
    EXPECT_LT(answered, 1000);
    EXPECT_EQ(rest, std::string("|") + c.next + "|" + c.refused + "|more");
  }
}

}  // namespace
