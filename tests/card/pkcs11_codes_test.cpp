#include "card/pkcs11_codes.h"

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <vector>

namespace {

// The named values and their names in value order, as the table is defined.
const char* const kNamedRanges =
    "0-3 5-A 10-13 20 21 30-32 40 41 50 51 54 60 62-6A 70 71 82 90 91 A0-A4 B0 B1 B3-B8 C0 C1 D0 D1 E0-E2 "
    "F0-F2 100-105 110 112-115 120 121 150 160 170 180 190 191 1A0 1A1";
const char* const kNames =
    "CKR_OK, CKR_CANCEL, CKR_HOST_MEMORY, CKR_SLOT_ID_INVALID, CKR_GENERAL_ERROR, CKR_FUNCTION_FAILED,"
    "CKR_ARGUMENTS_BAD, CKR_NO_EVENT, CKR_NEED_TO_CREATE_THREADS, CKR_CANT_LOCK, CKR_ATTRIBUTE_READ_ONLY,"
    "CKR_ATTRIBUTE_SENSITIVE, CKR_ATTRIBUTE_TYPE_INVALID, CKR_ATTRIBUTE_VALUE_INVALID, CKR_DATA_INVALID,"
    "CKR_DATA_LEN_RANGE, CKR_DEVICE_ERROR, CKR_DEVICE_MEMORY, CKR_DEVICE_REMOVED,"
    "CKR_ENCRYPTED_DATA_INVALID, CKR_ENCRYPTED_DATA_LEN_RANGE, CKR_FUNCTION_CANCELED,"
    "CKR_FUNCTION_NOT_PARALLEL, CKR_FUNCTION_NOT_SUPPORTED, CKR_KEY_HANDLE_INVALID, CKR_KEY_SIZE_RANGE,"
    "CKR_KEY_TYPE_INCONSISTENT, CKR_KEY_NOT_NEEDED, CKR_KEY_CHANGED, CKR_KEY_NEEDED,"
    "CKR_KEY_INDIGESTIBLE, CKR_KEY_FUNCTION_NOT_PERMITTED, CKR_KEY_NOT_WRAPPABLE, CKR_KEY_UNEXTRACTABLE,"
    "CKR_MECHANISM_INVALID, CKR_MECHANISM_PARAM_INVALID, CKR_OBJECT_HANDLE_INVALID, CKR_OPERATION_ACTIVE,"
    "CKR_OPERATION_NOT_INITIALIZED, CKR_PIN_INCORRECT, CKR_PIN_INVALID, CKR_PIN_LEN_RANGE,"
    "CKR_PIN_EXPIRED, CKR_PIN_LOCKED, CKR_SESSION_CLOSED, CKR_SESSION_COUNT, CKR_SESSION_HANDLE_INVALID,"
    "CKR_SESSION_PARALLEL_NOT_SUPPORTED, CKR_SESSION_READ_ONLY, CKR_SESSION_EXISTS,"
    "CKR_SESSION_READ_ONLY_EXISTS, CKR_SESSION_READ_WRITE_SO_EXISTS, CKR_SIGNATURE_INVALID,"
    "CKR_SIGNATURE_LEN_RANGE, CKR_TEMPLATE_INCOMPLETE, CKR_TEMPLATE_INCONSISTENT, CKR_TOKEN_NOT_PRESENT,"
    "CKR_TOKEN_NOT_RECOGNIZED, CKR_TOKEN_WRITE_PROTECTED, CKR_UNWRAPPING_KEY_HANDLE_INVALID,"
    "CKR_UNWRAPPING_KEY_SIZE_RANGE, CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT, CKR_USER_ALREADY_LOGGED_IN,"
    "CKR_USER_NOT_LOGGED_IN, CKR_USER_PIN_NOT_INITILAIZED, CKR_USER_TYPE_INVALID,"
    "CKR_USER_ANOTHER_ALREADY_LOGGED_IN, CKR_USER_TOO_MANY_TYPES, CKR_WRAPPED_KEY_INVALID,"
    "CKR_WRAPPED_KEY_LEN_RANGE, CKR_WRAPPING_KEY_HANDLE_INVALID, CKR_WRAPPING_KEY_SIZE_RANGE,"
    "CKR_WRAPPING_KEY_TYPE_INCONSISTENT, CKR_RANDOM_SEED_NOT_SUPPORTED, CKR_RANDOM_NO_RNG,"
    "CKR_BUFFER_TOO_SMALL, CKR_SAVED_STATE_INVALID, CKR_INFORMATION_SENSITIVE, CKR_STATE_UNSAVEABLE,"
    "CKR_CRYPTOKI_NOT_INITIALIZED, CKR_CRYPTOKI_ALREADY_INITIALIZED, CKR_MUTEX_BAD, CKR_MUTEX_NOT_LOCKED";

std::vector<CK_ULONG> NamedValues() {
  std::vector<CK_ULONG> values;
  for (const QString& r : QString(kNamedRanges).split(' ')) {
    QStringList ends = r.split('-');
    CK_ULONG from = ends[0].toULong(nullptr, 16);
    CK_ULONG to = ends.back().toULong(nullptr, 16);
    for (CK_ULONG v = from; v <= to; ++v) values.push_back(v);
  }
  return values;
}

}  // namespace

TEST(PkcsRetCodes, WholeTableMatchesTheList) {
  std::vector<CK_ULONG> values = NamedValues();
  QStringList names;
  for (const QString& n : QString(kNames).split(',')) names << n.trimmed();
  ASSERT_EQ(values.size(), 83u);
  ASSERT_EQ(names.size(), 83);
  std::vector<QString> expected(kPkcsRetCodeTableSize);
  for (size_t i = 0; i < values.size(); ++i) expected[values[i]] = names[static_cast<qsizetype>(i)];
  expected[4] = QString::fromUtf8("nedefinirano");
  int nonEmpty = 0;
  for (CK_ULONG code = 0; code < kPkcsRetCodeTableSize; ++code) {
    QString text = "stale";
    EXPECT_EQ(PkcsRetCodeName(code, text), code);
    EXPECT_EQ(text, expected[code]) << std::hex << code;
    if (!text.isEmpty()) ++nonEmpty;
  }
  EXPECT_EQ(nonEmpty, 84);
}

TEST(PkcsRetCodes, EdgeValues) {
  struct Case {
    CK_RV code;
    const char* name;
  } cases[] = {
      {0x0, "CKR_OK"},
      {0x4, "nedefinirano"},
      {0xA0, "CKR_PIN_INCORRECT"},
      {0x102, "CKR_USER_PIN_NOT_INITILAIZED"},
      {0x11F, ""},
      {0x1A1, "CKR_MUTEX_NOT_LOCKED"},
      {0x1A2, ""},
      {0x409, ""},  // the cryptographic library's own error numbers have no PKCS#11 name
      {0x7FFFFFFF, ""},
      {0x80000000, "CKR_VENDOR_DEFINED"},
      {0x80000001, ""},
      {0x100000000UL, ""},
      {0x180000000UL, ""},
      {~0UL, ""},
  };
  for (const Case& c : cases) {
    QString a = "stale", b = "stale";
    EXPECT_EQ(PkcsRetCodeName(c.code, a), c.code);
    EXPECT_EQ(PkcsRetCodeNameSwapped(b, c.code), c.code);
    EXPECT_EQ(a, c.name) << std::hex << c.code;
    EXPECT_EQ(b, c.name) << std::hex << c.code;
    EXPECT_EQ(PkcsRetCodeText(c.code), c.name);
  }
}
