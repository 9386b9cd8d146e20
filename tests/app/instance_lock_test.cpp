#include "app/instance_lock.h"

#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/process.h"

namespace {

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

std::string pidLine(pid_t pid) { return std::to_string(pid) + "\n"; }

TEST(InstanceLockTest, WritesOnlyThePidOverALongerOldContent) {
  TempDir dir;
  std::string path = dir.file("proxy.pid");
  ASSERT_TRUE(writeFile(path, "123456789\nold tail\n"));
  int fd = -1;
  ASSERT_EQ(tryInstanceLock(path.c_str(), &fd), LockResult::Locked);
  EXPECT_EQ(readFile(path), pidLine(getpid()));
  close(fd);
}

TEST(InstanceLockTest, CreatesAMissingFileWithMode0640) {
  TempDir dir;
  std::string path = dir.file("new.pid");
  mode_t saved = umask(022);
  int fd = -1;
  LockResult result = tryInstanceLock(path.c_str(), &fd);
  umask(saved);
  ASSERT_EQ(result, LockResult::Locked);
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(readFile(path), pidLine(getpid()));
  close(fd);
}

TEST(InstanceLockTest, UnopenableFileIsReported) {
  TempDir dir;
  int fd = -1;
  EXPECT_EQ(tryInstanceLock(dir.file("missing/dir/proxy.pid").c_str(), &fd), LockResult::CannotOpen);
  EXPECT_EQ(fd, -1);
}

// The lock belongs to a process, so the contender has to be another one.
TEST(InstanceLockTest, SecondProcessIsRefusedAndLeavesTheFileAlone) {
  TempDir dir;
  std::string path = dir.file("proxy.pid");
  int fd = -1;
  ASSERT_EQ(tryInstanceLock(path.c_str(), &fd), LockResult::Locked);
  // Through the locked descriptor: closing any other descriptor of the file
  // would release this process's lock.
  const std::string holderText = "holder text that is long\n";
  ASSERT_EQ(pwrite(fd, holderText.data(), holderText.size(), 0), static_cast<ssize_t>(holderText.size()));

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int childFd = -1;
    _exit(tryInstanceLock(path.c_str(), &childFd) == LockResult::AlreadyRunning ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(readFile(path), holderText);
  close(fd);
}

}  // namespace
