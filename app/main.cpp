// The desktop program TarviSealdesk.
#include <QApplication>

#include "app/smoke_check.h"
#include "app/startup.h"
#include "platform/program_locale.h"

int main(int argc, char** argv) {
  // Before the application object: Qt reads the system's locale once.
  UseProgramLocale();
  QApplication app(argc, argv);
  QStringList arguments = QApplication::arguments();
  if (!arguments.isEmpty()) arguments.removeFirst();
  InstallSmokeCheck();
  return RunProgram(arguments);
}
