#include "card/registry.h"

#include <optional>
#include <string>

#include "platform/codepage.h"
#include "platform/registry_store.h"

namespace {

std::optional<regstore::Hive> HiveOf(HKEY root) {
  switch (root) {
    case HKEY_CLASSES_ROOT: return regstore::Hive::ClassesRoot;
    case HKEY_CURRENT_USER: return regstore::Hive::CurrentUser;
    case HKEY_LOCAL_MACHINE: return regstore::Hive::LocalMachine;
    default: return std::nullopt;
  }
}

// The code page 1250 bytes of text, checked against its limit.
long ToRegistryText(const QString& text, int limit, std::string* bytes) {
  if (text.size() > limit) return regstore::kInvalidParameter;
  *bytes = ToCp1250Std(text);
  if (FromCp1250(*bytes) != text) return kRegErrorNoUnicodeTranslation;
  return regstore::kSuccess;
}

long Prepare(HKEY root, const QString& key, const QString& name, regstore::Hive* hive, std::string* keyBytes,
             std::string* nameBytes) {
  std::optional<regstore::Hive> h = HiveOf(root);
  if (!h) return regstore::kInvalidHandle;
  *hive = *h;
  long rc = ToRegistryText(key, kRegMaxKeyLength, keyBytes);
  if (rc == regstore::kSuccess) rc = ToRegistryText(name, kRegMaxKeyLength, nameBytes);
  return rc;
}

}  // namespace

long RegWriteValue(HKEY root, const QString& key, const QString& name, const QString& value, uint32_t type) {
  regstore::Hive hive;
  std::string k, n, v;
  long rc = Prepare(root, key, name, &hive, &k, &n);
  if (rc == regstore::kSuccess) rc = ToRegistryText(value, kRegMaxValueLength, &v);
  if (rc != regstore::kSuccess) return rc;
  v.push_back('\0');
  return regstore::WriteValue(hive, k, n, v, type);
}

long RegReadValue(HKEY root, const QString& key, const QString& name, QString& value, uint32_t /*type*/) {
  regstore::Hive hive;
  std::string k, n, data;
  long rc = Prepare(root, key, name, &hive, &k, &n);
  if (rc != regstore::kSuccess) return rc;
  rc = regstore::ReadValue(hive, k, n, &data);
  if (rc != regstore::kSuccess) return rc;
  // Data written by someone else may lack the terminator: stop at the stored size.
  size_t end = data.find('\0');
  value = FromCp1250(data.data(), end == std::string::npos ? data.size() : end);
  return regstore::kSuccess;
}

long RegDeleteValue(HKEY root, const QString& key, const QString& name) {
  regstore::Hive hive;
  std::string k, n;
  long rc = Prepare(root, key, name, &hive, &k, &n);
  if (rc != regstore::kSuccess) return rc;
  return regstore::DeleteValue(hive, k, n);
}
