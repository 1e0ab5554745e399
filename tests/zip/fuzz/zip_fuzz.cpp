// Fuzz entry for the ZIP directory reader of the component and for the
// extracting library: the input is written as an archive, listed, tested, and
// extracted into a fresh folder. Beyond the sanitizers, it checks that nothing
// appears outside that folder and that no link is ever created.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "interfaces/ziplib_records.h"
#include "platform/fake_ui_services.h"
#include "zip/zip_archiver.h"

extern "C" int32_t UnzLibExec(UnzRec* rec);

namespace {

int32_t QuietCallback(ZipCallbackRec*) { return 0; }

std::string g_root;

void RemoveRoot() {
  unlink((g_root + "/in.zip").c_str());
  rmdir((g_root + "/out").c_str());
  rmdir(g_root.c_str());
}

const std::string& Root() {
  if (g_root.empty()) {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarvi-zipfuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) abort();
    g_root = pattern;
    atexit(RemoveRoot);
  }
  return g_root;
}

// Removes a tree without following links; aborts when it finds a link or
// anything but files and folders, which extraction must never make.
void Clear(const std::string& path, bool top) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISLNK(st.st_mode) || (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))) abort();
  if (!S_ISDIR(st.st_mode)) {
    if ((st.st_mode & 07111) != 0) abort();  // no execute or special bits
    unlink(path.c_str());
    return;
  }
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d)) {
      if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
      Clear(path + "/" + e->d_name, false);
    }
    closedir(d);
  }
  if (!top) rmdir(path.c_str());
}

// The root holds only the archive and the target folder.
void CheckNothingEscaped(const std::string& root) {
  DIR* d = opendir(root.c_str());
  if (!d) abort();
  while (dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != ".." && n != "in.zip" && n != "out") abort();
  }
  closedir(d);
}

int32_t RunExtract(const std::string& archive, const std::string& out, bool test) {
  UnzName names[1] = {};
  std::string all = "*";
  names[0].Name = all.data();
  std::string a = archive, o = out, password;
  UnzRec rec{};
  rec.Instance = nullptr;
  rec.Version = 173;
  rec.Callback = &QuietCallback;
  rec.Password = password.data();
  rec.Test = test ? -1 : 0;
  rec.AlwaysOn = -1;
  rec.DirNames = -1;
  rec.Overwrite = -1;
  rec.NameCount = test ? 1 : 0;  // wildcard selection in one run, everything in the other
  rec.Names = names;
  rec.Archive = a.data();
  rec.PasswordReqCount = 1;
  rec.ExtrBaseDir = o.data();
  rec.Seven = 7;
  return UnzLibExec(&rec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FakeUiServices ui;
  const std::string& root = Root();
  const std::string archive = root + "/in.zip";
  const std::string out = root + "/out";
  FILE* f = fopen(archive.c_str(), "wb");
  if (!f) abort();
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
  fclose(f);
  mkdir(out.c_str(), 0700);

  {
    TZipArchiver zip;
    zip.SetUnattended(true);
    zip.SetZipFileName(QString::fromStdString(archive));
    for (int i = 0; i < zip.Count(); ++i) (void)zip.DirEntry(i).FileName.size();
    zip.SetCodePage(cpOEM);
    zip.List();
  }
  ui.boxes.clear();

  RunExtract(archive, out, true);
  RunExtract(archive, out, false);
  CheckNothingEscaped(root);
  Clear(out, true);
  return 0;
}
