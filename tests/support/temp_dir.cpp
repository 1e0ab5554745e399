#include "support/temp_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir(const std::string& tag) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarvi-" + tag + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<unsigned char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteAll(const std::string& path, const std::string& text) { WriteAll(path, text.data(), text.size()); }

int Run(const std::string& command, std::string* out) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int status = pclose(p);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void RunOrThrow(const std::string& command) {
  std::string out;
  if (Run("(" + command + ") 2>&1", &out) != 0)
    throw std::runtime_error("fixture command failed: " + command + "\n" + out);
}

std::string SharedTestFolder(const std::string& name, const std::string& recipeSource,
                             const std::function<void(const std::string& folder)>& make) {
  const std::string base = std::string(TARVI_BIN_DIR) + "/../" + name;
  std::filesystem::create_directories(base);
  // The source tree's path, not __FILE__: a compiler cache may have made that
  // relative to the build folder.
  const std::string recipeFile = std::string(TARVI_SOURCE_DIR) + "/" + recipeSource;
  const std::string recipe = ReadText(recipeFile);
  if (recipe.empty()) throw std::runtime_error("cannot read " + recipeFile);
  char tag[32];
  std::snprintf(tag, sizeof tag, "%016zx", std::hash<std::string>{}(recipe));
  const std::string final = base + "/set-" + tag;
  const int lock = ::open((base + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0 || ::flock(lock, LOCK_EX) != 0) throw std::runtime_error("cannot lock " + base);
  struct Unlock {
    int fd;
    ~Unlock() { ::close(fd); }
  } unlock{lock};
  if (!std::filesystem::exists(final)) {
    const std::string work = final + ".making";
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);
    make(work);
    std::filesystem::rename(work, final);
  }
  return final;
}
