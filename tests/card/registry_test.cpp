#include "card/registry.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/registry_store.h"
#include "support/private_registry.h"
#include "support/temp_dir.h"

namespace {

class Registry : public ::testing::Test {
 protected:
  static std::string Stored(regstore::Hive hive, const std::string& key, const std::string& name) {
    std::string data = "<none>";
    regstore::ReadValue(hive, key, name, &data);
    return data;
  }

  PrivateRegistry registry_{"registry"};
};

const QString kKey = QStringLiteral("SOFTWARE\\VodezOdir\\TarviSealdesk");

}  // namespace

TEST_F(Registry, CroatianTextIsStoredAsItsCodePageBytesWithTheTerminator) {
  const QString text = QStringLiteral("Izlaz čćžšđ ČĆŽŠĐ €");
  ASSERT_EQ(RegWriteValue(HKEY_CURRENT_USER, kKey + QStringLiteral("\\Mape"), QStringLiteral("Šifra"), text, REG_SZ),
            0);
  EXPECT_EQ(Stored(regstore::Hive::CurrentUser, "SOFTWARE\\VodezOdir\\TarviSealdesk\\Mape",
                   "\x8A"
                   "ifra"),
            std::string("Izlaz \xE8\xE6\x9E\x9A\xF0 \xC8\xC6\x8E\x8A\xD0 \x80", 19) + '\0');
  QString back;
  ASSERT_EQ(RegReadValue(HKEY_CURRENT_USER, kKey.toUpper() + QStringLiteral("\\MAPE"), QStringLiteral("šIFRA"), back),
            0);
  EXPECT_EQ(back, text);

  ASSERT_EQ(RegWriteValue(HKEY_CURRENT_USER, kKey, QStringLiteral("LogoutOnExit"), QStringLiteral("YES")), 0);
  EXPECT_EQ(Stored(regstore::Hive::CurrentUser, kKey.toStdString(), "LogoutOnExit"), std::string("YES\0", 4));

  ASSERT_EQ(RegDeleteValue(HKEY_CURRENT_USER, kKey, QStringLiteral("logoutonexit")), 0);
  QString value = QStringLiteral("unchanged");
  EXPECT_EQ(RegReadValue(HKEY_CURRENT_USER, kKey, QStringLiteral("LogoutOnExit"), value), 2);
  EXPECT_EQ(value, QStringLiteral("unchanged"));
}

TEST_F(Registry, MissingKeyValueOrRootLeavesTheVariableUnchanged) {
  ASSERT_EQ(RegWriteValue(HKEY_LOCAL_MACHINE, kKey, QStringLiteral("Install Path"), QStringLiteral("/opt/tarvi/")), 0);
  struct Case {
    HKEY root;
    QString key, name;
    long rc;
  } cases[] = {
      {HKEY_CURRENT_USER, kKey, QStringLiteral("Install Path"), 2},  // the machine's value is not the user's
      {HKEY_LOCAL_MACHINE, kKey + QStringLiteral("\\Other"), QStringLiteral("Install Path"), 2},
      {HKEY_LOCAL_MACHINE, kKey, QStringLiteral("Missing"), 2},
      {HKEY_USERS, kKey, QStringLiteral("Install Path"), 6},
      {0x1234, kKey, QStringLiteral("Install Path"), 6},
  };
  for (const Case& c : cases) {
    QString value = QStringLiteral("unchanged");
    EXPECT_EQ(RegReadValue(c.root, c.key, c.name, value), c.rc) << c.key.toStdString() << " " << c.name.toStdString();
    EXPECT_EQ(value, QStringLiteral("unchanged"));
  }
  EXPECT_EQ(RegDeleteValue(HKEY_CURRENT_USER, kKey, QStringLiteral("Install Path")), 2);
  EXPECT_EQ(RegWriteValue(HKEY_USERS, kKey, QStringLiteral("x"), QStringLiteral("y")), 6);
}

TEST_F(Registry, OverlongOrUnrepresentableTextIsRefusedNotCut) {
  const QString k200 = QString(200, QLatin1Char('k')), n200 = QString(200, QLatin1Char('n'));
  const QString v512 = QString(512, QLatin1Char('v'));
  EXPECT_EQ(RegWriteValue(HKEY_CURRENT_USER, k200, n200, v512), 0);
  QString back;
  ASSERT_EQ(RegReadValue(HKEY_CURRENT_USER, k200, n200, back), 0);
  EXPECT_EQ(back, v512);

  const std::string before = ReadText(registry_.file("HKCU.ini"));
  struct Case {
    QString key, name, value;
    long rc;
  } cases[] = {
      {k200 + QLatin1Char('k'), n200, QStringLiteral("x"), 87},
      {k200, n200 + QLatin1Char('n'), QStringLiteral("x"), 87},
      {k200, n200, v512 + QLatin1Char('v'), 87},
      {k200, n200, QStringLiteral("Жир"), 1113},  // Cyrillic has no code page 1250 byte
      {QStringLiteral("K\\Ж"), n200, QStringLiteral("x"), 1113},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RegWriteValue(HKEY_CURRENT_USER, c.key, c.name, c.value), c.rc);
    QString value = QStringLiteral("unchanged");
    long readRc = RegReadValue(HKEY_CURRENT_USER, c.key, c.name, value);
    if (c.rc == 87 && c.value.size() <= 512) {
      EXPECT_EQ(readRc, 87);
    }
    EXPECT_TRUE(readRc != 0 || value == v512);  // the stored value was not replaced
  }
  EXPECT_EQ(ReadText(registry_.file("HKCU.ini")), before);  // nothing was written, nothing cut short
  EXPECT_EQ(RegDeleteValue(HKEY_CURRENT_USER, k200 + QLatin1Char('k'), n200), 87);
}

TEST_F(Registry, ReadingStopsAtTheTerminatorOrTheStoredSizeWhateverTheType) {
  ASSERT_EQ(regstore::WriteValue(regstore::Hive::CurrentUser, "K", "noterm", "abc", REG_EXPAND_SZ), 0);
  ASSERT_EQ(regstore::WriteValue(regstore::Hive::CurrentUser, "K", "inner", std::string("ab\0cd\0", 6), 3), 0);
  QString value;
  ASSERT_EQ(RegReadValue(HKEY_CURRENT_USER, QStringLiteral("K"), QStringLiteral("noterm"), value, REG_SZ), 0);
  EXPECT_EQ(value, QStringLiteral("abc"));
  ASSERT_EQ(RegReadValue(HKEY_CURRENT_USER, QStringLiteral("K"), QStringLiteral("inner"), value, REG_SZ), 0);
  EXPECT_EQ(value, QStringLiteral("ab"));
}
