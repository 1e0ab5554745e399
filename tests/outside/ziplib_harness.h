#pragma once
// Test harness for the two ZIP libraries: loads bin/libziplib.so and
// bin/libunzlib.so by path, records every callback and builds parameter records.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "interfaces/ziplib_errors.h"
#include "interfaces/ziplib_records.h"
#include "outside/zip_builder.h"

namespace ziptest {

// The store suffixes of the program's ZIP component instance.
inline const char* const kDataModuleSuffixes = ".gif:.png:.z:.zip:.zoo:.arc:.lzh:.arj:.taz:.tgz:.lha";

struct Event {
  int code;
  int32_t error;
  int32_t size;
  std::string text;
};

// Receives the callbacks of one operation. onCall may write answers into the
// record and return -1 to cancel.
struct Recorder {
  std::vector<Event> events;
  std::function<int32_t(ZipCallbackRec&)> onCall;

  std::vector<Event> Of(int code) const {
    std::vector<Event> out;
    for (const Event& e : events)
      if (e.code == code) out.push_back(e);
    return out;
  }
  // The error codes of every message (code 4) and skip (code 11).
  std::vector<int32_t> Errors() const {
    std::vector<int32_t> out;
    for (const Event& e : events)
      if ((e.code == ZIPCB_MESSAGE || e.code == ZIPCB_SKIPPED) && e.error != 0) out.push_back(e.error);
    return out;
  }
  bool HasError(int32_t code) const {
    for (int32_t e : Errors())
      if (e == code) return true;
    return false;
  }
  std::string Dump() const {
    std::string s;
    for (const Event& e : events)
      s += std::to_string(e.code) + "/" + std::to_string(e.error) + "/" + std::to_string(e.size) + " " + e.text + "\n";
    return s;
  }
};

inline int32_t RecorderCallback(ZipCallbackRec* rec) {
  auto* r = static_cast<Recorder*>(rec->Instance);
  const size_t n = strnlen(rec->Msg.Text, sizeof rec->Msg.Text);
  r->events.push_back({rec->Action & 0xFF, rec->Error, rec->Size, std::string(rec->Msg.Text, n)});
  return r->onCall ? r->onCall(*rec) : 0;
}

// The two libraries, loaded from the build's bin folder.
class Libraries {
 public:
  Libraries() {
    zip_ = dlopen(TARVI_BIN_DIR "/libziplib.so", RTLD_NOW | RTLD_LOCAL);
    unz_ = dlopen(TARVI_BIN_DIR "/libunzlib.so", RTLD_NOW | RTLD_LOCAL);
    if (zip_) {
      zipExec = reinterpret_cast<ZipLibExecFn*>(dlsym(zip_, ZIPABI_ZIP_EXEC_NAME));
      zipVersion = reinterpret_cast<GetLibVersionFn*>(dlsym(zip_, ZIPABI_ZIP_VERSION_NAME));
    }
    if (unz_) {
      unzExec = reinterpret_cast<UnzLibExecFn*>(dlsym(unz_, ZIPABI_UNZ_EXEC_NAME));
      unzVersion = reinterpret_cast<GetLibVersionFn*>(dlsym(unz_, ZIPABI_UNZ_VERSION_NAME));
    }
  }
  ~Libraries() {
    if (zip_) dlclose(zip_);
    if (unz_) dlclose(unz_);
  }
  bool Loaded() const { return zipExec && zipVersion && unzExec && unzVersion; }

  ZipLibExecFn* zipExec = nullptr;
  GetLibVersionFn* zipVersion = nullptr;
  UnzLibExecFn* unzExec = nullptr;
  GetLibVersionFn* unzVersion = nullptr;

 private:
  void* zip_ = nullptr;
  void* unz_ = nullptr;
};

inline Libraries& Libs() {
  static Libraries libs;
  return libs;
}

// One add, as the component would describe it.
struct AddJob {
  std::string archive;
  std::vector<std::string> specs;
  int32_t level = 9;
  bool junkDirs = true;
  bool noDirEntries = true;
  bool recurse = false;
  std::string suffixes = kDataModuleSuffixes;
  std::string rootDir;
  std::vector<std::string> excl;
  std::string comment;
  bool update = false, freshen = false, move = false, allowUndo = true, hidden = false;
  int32_t encrypt = 0;
  std::string password;  // of every file argument (and the record) when set
  std::string fromDate;  // "mm dd yy" when set

  int32_t Run(Recorder& r) const {
    std::vector<ZipSpec> entries(specs.size());
    for (size_t i = 0; i < specs.size(); ++i) {
      entries[i].Spec = const_cast<char*>(specs[i].c_str());
      entries[i].Recurse = recurse ? ZIPABI_RECURSE : 0;
      entries[i].Encrypt = encrypt;
      entries[i].Password = password.empty() ? nullptr : const_cast<char*>(password.c_str());
      entries[i].RootDir = rootDir.empty() ? nullptr : const_cast<char*>(rootDir.c_str());
    }
    std::vector<char*> ex;
    for (const std::string& e : excl) ex.push_back(const_cast<char*>(e.c_str()));
    ZipRec rec;
    std::memset(&rec, 0, sizeof rec);
    rec.Instance = &r;
    rec.Version = ZIPABI_ZIP_RECORD_VERSION;
    rec.Callback = &RecorderCallback;
    rec.StoreSuffixes = suffixes.empty() ? nullptr : const_cast<char*>(suffixes.c_str());
    rec.Encrypt = encrypt ? ZIPABI_ON : 0;
    rec.Password = password.empty() ? nullptr : const_cast<char*>(password.c_str());
    rec.Hidden = hidden ? ZIPABI_ON : 0;
    rec.NoDirEntries = noDirEntries ? ZIPABI_ON : 0;
    rec.FromDate = fromDate.empty() ? 0 : ZIPABI_ON;
    rec.AlwaysOn = ZIPABI_ON;
    rec.Level = level;
    rec.JunkDirs = junkDirs ? ZIPABI_ON : 0;
    rec.Recurse = recurse ? ZIPABI_RECURSE : 0;
    rec.NotSafe = ZIPABI_ON;
    rec.Move = move ? ZIPABI_ON : 0;
    rec.Update = update ? ZIPABI_ON : 0;
    rec.Freshen = freshen ? ZIPABI_ON : 0;
    std::memcpy(rec.Date, fromDate.empty() ? "12 30 99" : fromDate.c_str(), 8);
    rec.SpecCount = static_cast<int32_t>(entries.size());
    rec.Archive = const_cast<char*>(archive.c_str());
    rec.Comment = comment.empty() ? nullptr : const_cast<char*>(comment.c_str());
    rec.Specs = entries.data();
    rec.ExclCount = static_cast<int32_t>(ex.size());
    rec.Excl = ex.empty() ? nullptr : ex.data();
    rec.AllowUndo = allowUndo ? ZIPABI_ON : 0;
    rec.Seven = ZIPABI_SENTINEL;
    return Libs().zipExec(&rec);
  }
};

// One extract.
struct ExtractJob {
  std::string archive;
  std::string base;  // empty: the current folder
  bool dirNames = true, overwrite = true, test = false, update = false, freshen = false;
  std::vector<std::string> names;
  int32_t passwordReqCount = 1;
  std::string password;

  int32_t Run(Recorder& r) const {
    std::vector<UnzName> entries(names.size());
    for (size_t i = 0; i < names.size(); ++i) entries[i].Name = const_cast<char*>(names[i].c_str());
    UnzRec rec;
    std::memset(&rec, 0, sizeof rec);
    rec.Instance = &r;
    rec.Version = Libs().unzVersion();
    rec.Callback = &RecorderCallback;
    rec.Password = const_cast<char*>(password.c_str());
    rec.Test = test ? ZIPABI_ON : 0;
    rec.AlwaysOn = ZIPABI_ON;
    rec.Update = update ? ZIPABI_ON : 0;
    rec.Freshen = freshen ? ZIPABI_ON : 0;
    rec.DirNames = dirNames ? ZIPABI_ON : 0;
    rec.Overwrite = overwrite ? ZIPABI_ON : 0;
    rec.NameCount = static_cast<int32_t>(entries.size());
    rec.Archive = const_cast<char*>(archive.c_str());
    rec.Names = entries.empty() ? nullptr : entries.data();
    rec.PasswordReqCount = passwordReqCount;
    rec.ExtrBaseDir = base.empty() ? nullptr : const_cast<char*>(base.c_str());
    rec.Seven = ZIPABI_SENTINEL;
    return Libs().unzExec(&rec);
  }
};

}  // namespace ziptest
