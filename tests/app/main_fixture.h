#pragma once
// Helpers for the tests of the main window's lists and commands: the program
// started and logged in on the fixture's token, a work folder shown in the folder
// tree, and short ways to pick a filter, click a file and read the lists' rows.
#include <QRadioButton>
#include <QTreeWidget>

#include "app/main_window.h"
#include "app/startup.h"
#include "app_fixture.h"
#include "card/acg_component.h"
#include "signing/encrypted_container.h"
#include "signing/settings.h"
#include "signing/verify.h"

namespace appfx {

class MainTokenTest : public TokenAppTest {
 protected:
  // Start-up with the PIN typed; the result of StartUp.
  bool StartWithPin(const QStringList& arguments = {}) {
    ModalDriver driver;
    TypePin(driver, kPin);
    return Start(arguments);
  }
  // The same; true when the program runs logged in.
  bool StartLoggedIn(const QStringList& arguments = {}) {
    return StartWithPin(arguments) && fmMain && fmMain->DUDComponent->LoggedIn;
  }
  // The program ended as at exit, without the close handler, ready to start again.
  void EndProgram() {
    ShutDown();
    started_ = false;
    ui_->clearTerminate();
    ui_->boxes.clear();
    trace_.clear();
  }
  QString Work(const std::string& name = "") const {
    return QString::fromStdString(name.empty() ? work_.path() : work_.file(name));
  }
  void ShowWork() { fmMain->SetCurrentFolder(Work()); }
  // Checks a filter as a click on its button does.
  static void Filter(QRadioButton* button) {
    button->setChecked(true);
    fmMain->rbIzvorneClick();
  }
  // Selects the file of this name and runs the click handler; false when not listed.
  static bool ClickFile(const QString& name) {
    QTreeWidgetItem* item = fmMain->FileItem(name);
    if (!item) return false;
    fmMain->SelectFileItem(item);
    fmMain->slvDatotekeClick();
    return true;
  }
  static QStringList FileNames() {
    QStringList names;
    for (int i = 0; i < fmMain->slvDatoteke->topLevelItemCount(); ++i)
      names << fmMain->slvDatoteke->topLevelItem(i)->text(0);
    return names;
  }
  // Each row's columns joined with " | ".
  static QStringList Rows(const QTreeWidget* list) {
    QStringList rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
      QStringList cells;
      for (int c = 0; c < list->columnCount(); ++c) cells << list->topLevelItem(i)->text(c);
      rows << cells.join(" | ");
    }
    return rows;
  }
  QStringList BoxTexts() const {
    QStringList texts;
    for (const auto& b : ui_->boxes) texts << b.text;
    return texts;
  }

  TempDir work_{"work"};
};

}  // namespace appfx
