// Fuzz entry for the extracting library on whole archives: the input is written
// as an archive and given to UnzLibExec, compiled in, the ways the component
// drives it: test everything; extract everything keeping folders and
// overwriting; extract again over the same files asking about each (answered
// yes and no in turn, CRC errors kept); extract a chosen name and a wildcard
// without folders, with a password; and extract with the program cancelling at
// some callback. Every run writes into a folder of its own under a private
// temporary folder, emptied for each input.
// Beyond the sanitizers it checks that nothing appears outside the target folder,
// nothing but plain files and folders is made (no links, no execute or special
// bits), no file is larger than the largest size announced, a test run writes
// nothing, no temporary file is left behind (also after a cancel), every
// callback record is well formed, and after a cancel at most the one "aborted"
// notice follows.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "interfaces/ziplib_errors.h"
#include "interfaces/ziplib_records.h"

extern "C" int32_t UnzLibExec(UnzRec* rec);

using fuzzsupport::Require;

namespace {

struct Run {
  int calls = 0;
  int cancelAt = 0;  // 0: never
  bool cancelled = false;
  int afterCancel = 0;
  int newFiles = 0;
  uint64_t largest = 0;
  int overwriteAnswer = 0;
  std::string firstName;
};

int32_t Callback(ZipCallbackRec* rec) {
  Run& run = *static_cast<Run*>(rec->Instance);
  Require(rec->IsZip == 0);
  Require(std::memchr(rec->Msg.Text, 0, sizeof rec->Msg.Text) != nullptr);
  const int code = rec->Action & 0xFF;
  Require(code >= ZIPCB_TICK && code <= ZIPCB_EXTRA_PROGRESS);
  if (run.cancelled) {
    // Only the closing notice, once.
    Require(++run.afterCancel == 1 && code == ZIPCB_MESSAGE && rec->Error == ZIPERR_ABORTED);
    return ZIPABI_CONTINUE;
  }
  ++run.calls;
  switch (code) {
    case ZIPCB_NEW_FILE:
      ++run.newFiles;
      run.largest = std::max<uint64_t>(run.largest, uint32_t(rec->Size));
      if (run.firstName.empty()) run.firstName = rec->Msg.Text;
      break;
    case ZIPCB_OVERWRITE:
      rec->Size = run.overwriteAnswer;
      run.overwriteAnswer ^= 1;
      break;
    case ZIPCB_CRC_ERROR:
      rec->Error = 1;  // keep
      break;
    default: break;
  }
  if (run.cancelAt && run.calls == run.cancelAt) {
    run.cancelled = true;
    return ZIPABI_CANCEL;
  }
  return ZIPABI_CONTINUE;
}

// Walks the tree: only plain files and folders, no execute or special bits, no
// temporary file of the library's, nothing larger than largest. Returns the
// number of files.
int Check(const std::string& path, uint64_t largest) {
  int files = 0;
  DIR* d = opendir(path.c_str());
  Require(d != nullptr);
  while (dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    Require(!(n.rfind(".tarvi-", 0) == 0 && n.size() > 4 && n.compare(n.size() - 4, 4, ".tmp") == 0));
    const std::string p = path + "/" + n;
    struct stat st {};
    Require(lstat(p.c_str(), &st) == 0);
    Require(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode));
    if (S_ISDIR(st.st_mode)) {
      Require((st.st_mode & 07000) == 0);
      files += Check(p, largest);
    } else {
      Require((st.st_mode & 07111) == 0);
      Require(uint64_t(st.st_size) <= largest);
      ++files;
    }
  }
  closedir(d);
  return files;
}

int32_t Extract(Run& run, const std::string& archive, const std::string& out, bool test, bool dirNames, bool overwrite,
                const char* password, const std::vector<std::string>& names, uint16_t codePage) {
  std::vector<UnzName> list(names.size() + 1);
  std::vector<std::string> texts = names;
  for (size_t i = 0; i < texts.size(); ++i) list[i].Name = texts[i].data();
  std::string a = archive, o = out, pw = password;
  UnzRec rec{};
  rec.Instance = &run;
  rec.Version = ZIPLIB_OWN_VERSION;
  rec.Callback = &Callback;
  rec.Password = pw.data();
  rec.Test = test ? ZIPABI_ON : ZIPABI_OFF;
  rec.AlwaysOn = ZIPABI_ON;
  rec.DirNames = dirNames ? ZIPABI_ON : ZIPABI_OFF;
  rec.Overwrite = overwrite ? ZIPABI_ON : ZIPABI_OFF;
  rec.NameCount = int32_t(texts.size());
  rec.Names = list.data();
  rec.Archive = a.data();
  rec.PasswordReqCount = pw.empty() ? 0 : 1;
  rec.ExtrBaseDir = o.data();
  rec.CodePage = codePage;
  rec.Seven = ZIPABI_SENTINEL;
  const int32_t done = UnzLibExec(&rec);
  Require(done >= 0 && done <= run.newFiles);
  return done;
}

// The root holds only the archive and the target folders.
void CheckNothingEscaped(const std::string& root) {
  DIR* d = opendir(root.c_str());
  Require(d != nullptr);
  while (dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    Require(n == "." || n == ".." || n == "in.zip" || n == "out" || n == "flat" || n == "cut");
  }
  closedir(d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& root = fuzzsupport::Root("unz");
  const std::string archive = root + "/in.zip";
  fuzzsupport::WriteFile(archive, data, size);
  const std::string out = root + "/out", flat = root + "/flat", cut = root + "/cut";
  for (const std::string& f : {out, flat, cut}) {
    fuzzsupport::RemoveTree(f);
    Require(mkdir(f.c_str(), 0700) == 0);
  }
  const uint16_t codePage = uint16_t(size % 3);

  // Testing writes nothing.
  Run test;
  Extract(test, archive, out, true, true, true, "", {}, codePage);
  Require(Check(out, 0) == 0);

  // Everything, with folders, overwriting.
  Run all;
  Extract(all, archive, out, false, true, true, "", {}, codePage);
  Check(out, all.largest);

  // The same again over the files now there, asking about each.
  Run again;
  Extract(again, archive, out, false, true, false, "", {}, codePage);
  Check(out, std::max(all.largest, again.largest));

  // One name and a wildcard, without folders, with a password.
  Run chosen;
  std::vector<std::string> names = {"*.t?t"};
  if (!all.firstName.empty()) names.push_back(all.firstName);
  Extract(chosen, archive, flat, false, false, false, "geslo", names, codePage);
  Check(flat, chosen.largest);

  // Cancelled at some callback: nothing half-written stays.
  Run cancel;
  cancel.cancelAt = 1 + int(size % 7);
  Extract(cancel, archive, cut, false, true, true, "", {}, codePage);
  Check(cut, cancel.largest);

  CheckNothingEscaped(root);
  return 0;
}
