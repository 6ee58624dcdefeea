// The global semaphore across processes, and where its lock files live.
#include <sys/stat.h>

#include <random>
#include <string>

#include "platform/serial.h"
#include "platform/sync.h"
#include "tests/platform/posix_test_util.h"

namespace {

using brevane_test::ScopedEnv;
using brevane_test::TempDir;

std::string unique_name() {
  std::random_device random;
  return "brevane-posix-" + std::to_string(random()) + "-" + std::to_string(getpid());
}

// A one-way signal between two processes.
struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    close(fds[0]);
    close(fds[1]);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  void post() const { static_cast<void>(write(fds[1], "!", 1)); }
  // True when the other side posted within `wait_ms`.
  bool await(int wait_ms) const {
    pollfd entry{fds[0], POLLIN, 0};
    char c = 0;
    return poll(&entry, 1, wait_ms) == 1 && read(fds[0], &c, 1) == 1;
  }
};

// A child process that takes the semaphore, tells the parent, waits for the
// word to go on, and then either releases it or dies holding it.
pid_t start_holder(const std::string& name, const Pipe& taken, const Pipe& go_on, bool release) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  alarm(20);  // never outlive a failed test
  plat::SemHandle sem = plat::sem_open_global(name.c_str(), 1, 1);
  if (sem == nullptr || plat::sem_wait(sem, 5000) != plat::WaitResult::Signaled) _exit(2);
  taken.post();
  if (!go_on.await(10000)) _exit(3);
  if (release && !plat::sem_release(sem)) _exit(4);
  if (release) {
    // Stay alive with the handle open, so only the release can free it.
    go_on.await(10000);
  }
  _exit(0);
}

int reap(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(GlobalSemaphoreProcesses, HolderThatDiesGivesTheSemaphoreBack) {
  const std::string name = unique_name();
  Pipe taken;
  Pipe go_on;
  const pid_t child = start_holder(name, taken, go_on, false);
  ASSERT_GT(child, 0);
  ASSERT_TRUE(taken.await(10000));

  plat::SemHandle sem = plat::sem_open_global(name.c_str(), 1, 1);
  ASSERT_NE(sem, nullptr);
  EXPECT_EQ(plat::sem_wait(sem, 100), plat::WaitResult::TimedOut);
  go_on.post();  // the child now exits without releasing
  EXPECT_EQ(reap(child), 0);
  EXPECT_EQ(plat::sem_wait(sem, 2000), plat::WaitResult::Signaled);
  EXPECT_TRUE(plat::sem_release(sem));
  EXPECT_TRUE(plat::sem_close(sem));
}

TEST(GlobalSemaphoreProcesses, ReleaseInOneProcessWakesAWaiterInAnother) {
  const std::string name = unique_name();
  Pipe taken;
  Pipe go_on;
  const pid_t child = start_holder(name, taken, go_on, true);
  ASSERT_GT(child, 0);
  ASSERT_TRUE(taken.await(10000));

  plat::SemHandle sem = plat::sem_open_global(name.c_str(), 1, 1);
  ASSERT_NE(sem, nullptr);
  EXPECT_EQ(plat::sem_wait(sem, 100), plat::WaitResult::TimedOut);
  go_on.post();  // the child releases and stays alive
  EXPECT_EQ(plat::sem_wait(sem, 2000), plat::WaitResult::Signaled);
  go_on.post();
  EXPECT_EQ(reap(child), 0);
  EXPECT_TRUE(plat::sem_release(sem));
  EXPECT_TRUE(plat::sem_close(sem));
}

TEST(GlobalSemaphoreProcesses, OnlyABinarySemaphoreIsOffered) {
  const std::string name = unique_name();
  EXPECT_EQ(plat::sem_open_global(name.c_str(), 0, 1), nullptr);
  EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(EINVAL));
  EXPECT_EQ(plat::sem_open_global(name.c_str(), 1, 2), nullptr);
  EXPECT_EQ(plat::sem_open_global("", 1, 1), nullptr);
}

TEST(GlobalSemaphoreProcesses, LockFilesStayInThePrivateRuntimeDirectory) {
  TempDir dir;
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
  plat::SemHandle plain = plat::sem_open_global("FLESem", 1, 1);
  plat::SemHandle tricky = plat::sem_open_global("../../Escape/x", 1, 1);
  ASSERT_NE(plain, nullptr);
  ASSERT_NE(tricky, nullptr);

  struct stat st {};
  ASSERT_EQ(stat((dir.path() + "/brevane/sem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(stat((dir.path() + "/brevane/sem/flesem.lock").c_str(), &st), 0);
  EXPECT_EQ(stat((dir.path() + "/brevane/sem/%2E%2E%2F%2E%2E%2Fescape%2Fx.lock").c_str(), &st), 0);
  EXPECT_NE(stat((dir.path() + "/escape").c_str(), &st), 0);
  EXPECT_TRUE(plat::sem_close(plain));
  EXPECT_TRUE(plat::sem_close(tricky));
}

TEST(GlobalSemaphoreProcesses, LockDirectoryPlantedAsALinkIsRefused) {
  TempDir dir;
  TempDir elsewhere;
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
  ASSERT_EQ(mkdir((dir.path() + "/brevane").c_str(), 0700), 0);
  ASSERT_EQ(symlink(elsewhere.path().c_str(), (dir.path() + "/brevane/sem").c_str()), 0);
  EXPECT_EQ(plat::sem_open_global(unique_name().c_str(), 1, 1), nullptr);
  EXPECT_EQ(plat::last_error(), static_cast<uint32_t>(EACCES));
}

}  // namespace
