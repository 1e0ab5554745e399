#include "app/startup.h"

#include <QApplication>
#include <QFile>
#include <QLibraryInfo>
#include <QTranslator>

#include "app/about_box.h"
#include "app/browse_folder.h"
#include "app/contact_forms.h"
#include "app/main_window.h"
#include "app/mbr_register.h"
#include "app/splash_window.h"
#include "card/cert_list.h"
#include "platform/ui_services.h"
#include "signing/activity_log.h"
#include "signing/data_module.h"
#include "signing/file_utils.h"
#include "signing/progress_window.h"
#include "signing/settings.h"

namespace {

void Step(const QString& name) {
  if (TfmMain::Trace) TfmMain::Trace(name);
}

std::vector<TStartUpForm> MakeStartUpForms() {
  std::vector<TStartUpForm> forms;
  forms.push_back(
      {"fmMaticniBrojevi", true, [] { return fmMaticniBrojevi != nullptr; }, CreateMbrWindow, DestroyMbrWindow});
  forms.push_back({"fmOprogramu", true, [] { return fmOprogramu != nullptr; }, CreateAboutWindow, DestroyAboutWindow});
  forms.push_back({"fmProgres", true, [] { return fmProgres != nullptr; }, [] { fmProgres = new TfmProgres; },
                   [] { delete fmProgres; }});
  for (TStartUpForm& form : ContactStartUpForms()) forms.push_back(std::move(form));
  return forms;
}

}  // namespace

bool InstallQtTranslations() {
  static bool installed = [] {
    // The program speaks Croatian whatever the user's locale, so Qt's dialogs do too.
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral("qtbase_hr"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(translator)) {
      delete translator;
      return false;
    }
    return true;
  }();
  return installed;
}

std::vector<TStartUpForm>& StartUpForms() {
  static std::vector<TStartUpForm> forms = MakeStartUpForms();
  return forms;
}

bool StartUp(const QStringList& arguments) {
  ActivityLogOn = false;
  // A killed earlier run may have left its work folder behind.
  RemoveStaleWorkFolders();

  // The title: message boxes and windows without a caption of their own show it.
  QCoreApplication::setApplicationName(kApplicationTitle);
  InstallQtTranslations();
  SetFolderPicker([](const QString& caption, const QString& folder) { return RunBrowseFolder(folder, caption); });
  Step("Title");

  fmStartUp = new TfmStartUp;
  fmStartUp->show();
  Ui().processPendingMessages();  // paint it before the long steps
  Step("fmStartUp");

  dmCollector = new TdmCollector;
  Step("dmCollector");

  new TfmMain(arguments);  // sets fmMain
  RemoveStaleTempFilesInKnownFolders();
  if (!Ui().terminateRequested()) {
    // The window is created visible: it is shown and its show handler runs as the
    // last part of its creation, before any other window exists. After a terminate
    // request it would only run the command-line road of a program that is ending.
    fmMain->show();
    fmMain->FormShow();
    Step("fmMain");
  }

  if (!Ui().terminateRequested()) {
    for (TStartUpForm& form : StartUpForms()) {
      if (form.onlyWhenAbsent && form.exists && form.exists()) continue;
      if (form.create) form.create();
      Step(form.name);
    }
  }

  delete fmStartUp;
  Step("fmStartUp freed");
  return !Ui().terminateRequested();
}

void ShutDown() {
  delete fmStartUp;
  auto& forms = StartUpForms();
  for (auto it = forms.rbegin(); it != forms.rend(); ++it)
    if (it->destroy) it->destroy();
  delete fmMain;
  delete dmCollector;
  delete ContactCertList;
  ContactCertList = nullptr;
  Settings.reset();
  if (ActivityLogStream) {
    ActivityLogStream->close();
    delete ActivityLogStream;
    ActivityLogStream = nullptr;
  }
  ActivityLogOn = false;
  // A killed earlier run may have left its work folder behind.
  RemoveStaleWorkFolders();
}

int RunProgram(const QStringList& arguments) {
  int code = 0;
  if (StartUp(arguments)) code = QApplication::exec();
  ShutDown();
  return code;
}
