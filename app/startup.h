#pragma once
// The program's start-up and end.
//
// Start-up, in this order: the globals at their initial values; the application's
// title; the splash window, shown; the data module; the main window (its card
// component logs in, its create handler runs; it is shown and its show handler
// runs); the windows of StartUpForms() in list order; the splash window freed.
// A terminate request, at any point of it, ends the program without the main
// window's close handler and before the message loop runs.
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

// A window that start-up creates after the main window. An entry with
// onlyWhenAbsent is skipped when its window already exists (the command-line
// road may have made it during the main window's show handler).
struct TStartUpForm {
  QString name;
  bool onlyWhenAbsent = false;
  std::function<bool()> exists;
  std::function<void()> create;
  std::function<void()> destroy;  // at the program's end
};

// In start-up order: the registration-number window and the about window, then the
// progress window, the contact editor and the contact list. Every entry is made
// only when absent: the last three may come from the command-line road, and a
// window made twice would leave its first instance behind.
std::vector<TStartUpForm>& StartUpForms();

// Qt's own Croatian texts (standard buttons, file and print dialogs), loaded
// once per process from Qt's translations folder; false when they are missing
// there (the boxes then keep Qt's English buttons).
bool InstallQtTranslations();

// Runs start-up with the command-line arguments that follow the program name.
// True when the message loop is to run; false when a terminate request came.
bool StartUp(const QStringList& arguments);

// Frees, in reverse order, everything start-up made: the windows, the data
// module, the contact list, the settings and an open activity log.
void ShutDown();

// Start-up, the message loop unless terminated, and the end; the exit code.
int RunProgram(const QStringList& arguments);
