#include "app/window_commands.h"

#include <QAction>
#include <QWidget>

QAction* MakeCommand(QObject* parent, const QString& name, const QString& caption, const QString& hint) {
  auto* action = new QAction(caption, parent);
  action->setObjectName(name);
  action->setStatusTip(hint);
  action->setToolTip(hint.isEmpty() ? QString(caption).remove(QLatin1Char('&')) : hint);
  return action;
}

QAction* AddWindowCommand(QWidget* window, const QString& name, const QString& caption, const QString& hint) {
  QAction* action = MakeCommand(window, name, caption, hint);
  window->addAction(action);
  return action;
}
