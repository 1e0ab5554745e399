// Shell associations: the HKEY_CLASSES_ROOT keys and the freedesktop files are
// written only where missing, and removed again.
#include "app/file_associations.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "card/registry.h"
#include "platform/fake_ui_services.h"
#include "platform/registry_store.h"
#include "signing/settings.h"
#include "support/temp_dir.h"

namespace {

QString Default(const QString& key) {
  QString v = "<missing>";
  RegReadValue(HKEY_CLASSES_ROOT, key, "", v);
  return v;
}

std::string Snapshot() {
  std::string s = ReadText(regstore::HivePath(regstore::Hive::ClassesRoot));
  for (const QString& ext : {QString("sgn"), QString("enc"), QString("QVD")}) {
    QFileInfo m(MimePackagePath(ext)), d(DesktopEntryPath(ext));
    s += "|" + (m.exists() ? ReadText(m.filePath().toStdString()) + m.lastModified().toString().toStdString() : "");
    s += "|" + (d.exists() ? ReadText(d.filePath().toStdString()) + d.lastModified().toString().toStdString() : "");
  }
  return s;
}

class FileAssociationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ExeName = "TARVISEALDESK";
    for (const char* k : {".sgn", "sgn", ".enc", "enc", ".qvd", "QVD"})
      regstore::DeleteKeyTree(regstore::Hive::ClassesRoot, k);
    for (const QString& ext : {QString("sgn"), QString("enc"), QString("QVD")}) {
      QFile::remove(MimePackagePath(ext));
      QFile::remove(DesktopEntryPath(ext));
    }
  }
  FakeUiServices ui_;
};

TEST_F(FileAssociationsTest, WritesTheSixKeysAndTheDesktopFiles) {
  const QString program = QCoreApplication::applicationFilePath();
  ASSERT_TRUE(RegisterFileType("enc", "TSD encrypted file", "Dekriptiranje"));
  EXPECT_EQ(Default(".enc"), "enc");
  EXPECT_EQ(Default("enc"), "TSD encrypted file");
  EXPECT_EQ(Default("enc\\DefaultIcon"), program + ",0");
  EXPECT_EQ(Default("enc\\Shell"), "Open");
  EXPECT_EQ(Default("enc\\Shell\\Open"), "Dekriptiranje");
  EXPECT_EQ(Default("enc\\Shell\\Open\\command"), program + " \"%1\"");
  EXPECT_TRUE(FileTypeRegistered("ENC"));

  const QString mime = QString::fromStdString(ReadText(MimePackagePath("enc").toStdString()));
  EXPECT_TRUE(mime.contains("type=\"application/x-tarvisealdesk-enc\"")) << mime.toStdString();
  EXPECT_TRUE(mime.contains("<glob pattern=\"*.enc\"/>"));
  EXPECT_TRUE(mime.contains("<comment>TSD encrypted file</comment>"));
  EXPECT_TRUE(MimePackagePath("enc").startsWith(qEnvironmentVariable("XDG_DATA_HOME")));
  const QString entry = QString::fromStdString(ReadText(DesktopEntryPath("enc").toStdString()));
  EXPECT_TRUE(entry.startsWith("[Desktop Entry]\n"));
  EXPECT_TRUE(entry.contains("\nExec=\"" + program + "\" %f\n")) << entry.toStdString();
  EXPECT_TRUE(entry.contains("\nMimeType=application/x-tarvisealdesk-enc;\n"));
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(FileAssociationsTest, SecondRunAndForeignKeysChangeNothing) {
  // Another program's command and our own earlier registration stay as they are.
  RegWriteValue(HKEY_CLASSES_ROOT, "sgn\\Shell\\Open\\command", "", "/usr/bin/other \"%1\"");
  ASSERT_TRUE(RegisterFileType("sgn", "TSD signed file", "Otvaranje"));
  EXPECT_EQ(Default("sgn\\Shell\\Open\\command"), "/usr/bin/other \"%1\"");
  EXPECT_EQ(Default("sgn"), "<missing>");  // the key existed (as a parent): left alone
  EXPECT_EQ(Default(".sgn"), "sgn");
  const std::string first = Snapshot();
  ASSERT_TRUE(RegisterFileType("sgn", "changed", "changed"));
  ASSERT_TRUE(RegisterFileType("enc", "TSD encrypted file", "Dekriptiranje"));
  const std::string second = Snapshot();
  ASSERT_TRUE(RegisterFileType("enc", "other", "other"));
  EXPECT_EQ(Snapshot(), second);
  EXPECT_NE(first, second);

  // An existing desktop file of ours is not rewritten either.
  WriteAll(DesktopEntryPath("sgn").toStdString(), "[Desktop Entry]\nName=hand made\n");
  UnregisterFileType("enc");
  ASSERT_TRUE(RegisterFileType("sgn", "TSD signed file", "Otvaranje"));
  EXPECT_EQ(ReadText(DesktopEntryPath("sgn").toStdString()), "[Desktop Entry]\nName=hand made\n");
}

TEST_F(FileAssociationsTest, UnregisterRemovesKeysAndFiles) {
  ASSERT_TRUE(RegisterFileType("sgn", "TSD signed file", "Otvaranje"));
  RegWriteValue(HKEY_CLASSES_ROOT, "SGN\\Shell\\Edit", "", "x");  // names compare without case
  UnregisterFileType("SGN");
  EXPECT_EQ(regstore::KeyExists(regstore::Hive::ClassesRoot, ".sgn"), regstore::kNotFound);
  EXPECT_EQ(regstore::KeyExists(regstore::Hive::ClassesRoot, "sgn"), regstore::kNotFound);
  EXPECT_FALSE(QFileInfo::exists(MimePackagePath("sgn")));
  EXPECT_FALSE(QFileInfo::exists(DesktopEntryPath("sgn")));
  UnregisterFileType("sgn");  // nothing left: failures are ignored
  EXPECT_TRUE(ui_.boxes.empty());
}

TEST_F(FileAssociationsTest, CustomerEditionAlsoHandlesQvd) {
  ExeName = "QVDQUILLMARK";
  ASSERT_TRUE(RegisterFileType("sgn", "TSD signed file", "Otvaranje"));
  EXPECT_EQ(Default(".qvd"), "QVD");
  EXPECT_EQ(Default("QVD"), "TSD encrypted file");
  EXPECT_EQ(Default("QVD\\Shell\\Open"), "Otvaranje");
  EXPECT_TRUE(QFileInfo::exists(MimePackagePath("QVD")));
  UnregisterFileType("enc");
  EXPECT_EQ(regstore::KeyExists(regstore::Hive::ClassesRoot, ".QVD"), regstore::kNotFound);
  EXPECT_EQ(regstore::KeyExists(regstore::Hive::ClassesRoot, "qvd"), regstore::kNotFound);
  EXPECT_TRUE(FileTypeRegistered("sgn"));
}

TEST_F(FileAssociationsTest, UnsafeExtensionsStayInTheDataFolder) {
  EXPECT_FALSE(MimePackagePath("../../x").contains("/../"));
  EXPECT_TRUE(DesktopEntryPath("a/b").endsWith("/applications/tarvisealdesk-a%2Fb.desktop"));
  // An empty extension would name the root of the hive: refused with the box.
  EXPECT_FALSE(RegisterFileType("", "TSD encrypted file", "Dekriptiranje"));
  EXPECT_EQ(ui_.lastText(), kMsgAssociationRights);
  EXPECT_EQ(regstore::KeyExists(regstore::Hive::ClassesRoot, "."), regstore::kNotFound);
  ASSERT_TRUE(RegisterFileType("sgn", "TSD signed file", "Otvaranje"));
  UnregisterFileType("");
  EXPECT_TRUE(FileTypeRegistered("sgn"));
}

TEST_F(FileAssociationsTest, WriteFailureShowsTheRightsBox) {
  // A data folder that cannot be made: the registry part is written, the files fail.
  TempDir d{"ro"};
  WriteAll(d.file("file"), "x");
  const QByteArray old = qgetenv("XDG_DATA_HOME");
  qputenv("XDG_DATA_HOME", QByteArray::fromStdString(d.file("file")));
  EXPECT_FALSE(RegisterFileType("sgn", "TSD signed file", "Otvaranje"));
  qputenv("XDG_DATA_HOME", old);
  EXPECT_EQ(ui_.lastText(), kMsgAssociationRights);
}

}  // namespace
