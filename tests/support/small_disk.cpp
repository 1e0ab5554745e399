#include "support/small_disk.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "support/temp_dir.h"

const char* SmallDisk() { return std::getenv("TARVI_SMALL_DISK"); }

void RunOnSmallDisk(const std::string& innerTest, const std::string& size) {
  char self[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  TempDir disk("disk");
  const std::string command = "unshare -rm sh -c 'mount -t tmpfs -o size=" + size + " tmpfs \"" + disk.path() +
                              "\" 2>/dev/null || exit 77; TARVI_SMALL_DISK=\"" + disk.path() + "\" exec \"" +
                              std::string(self) + "\" --gtest_filter=" + innerTest + "' 2>&1";
  std::string out;
  const int status = Run(command, &out);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private tmpfs mount here";
  if (out.find("unshare:") != std::string::npos && out.find("[ RUN") == std::string::npos)
    GTEST_SKIP() << "no mount namespace here: " << out;
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("[       OK ] " + innerTest), std::string::npos) << out;
}
