// The desktop program TarviSealdesk.
#include <QApplication>

#include "app/smoke_check.h"
#include "app/startup.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QStringList arguments = QApplication::arguments();
  if (!arguments.isEmpty()) arguments.removeFirst();
  InstallSmokeCheck();
  return RunProgram(arguments);
}
