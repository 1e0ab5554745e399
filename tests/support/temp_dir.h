#pragma once
// A private temporary folder removed with everything in it when the object dies.
#include <functional>
#include <string>
#include <vector>

class TempDir {
 public:
  explicit TempDir(const std::string& tag = "t");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Small file helpers for tests.
std::vector<unsigned char> ReadAll(const std::string& path);
void WriteAll(const std::string& path, const void* data, size_t size);
void WriteAll(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);

// Runs a shell command; returns its exit status and, when out is given, its standard output.
int Run(const std::string& command, std::string* out = nullptr);
// Runs a shell command that must succeed, for making test material: throws with
// the command and what it wrote (both streams) when it fails.
void RunOrThrow(const std::string& command);

// A folder of test material shared by every test process of a build tree: made
// once per recipe by make(folder), in a private folder renamed into place whole,
// under a lock against parallel test processes. The recipe is the source file
// that makes it (a path under the source tree), so a changed recipe makes a new set.
std::string SharedTestFolder(const std::string& name, const std::string& recipeSource,
                             const std::function<void(const std::string& folder)>& make);
