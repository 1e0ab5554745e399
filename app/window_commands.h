#pragma once
// Named commands (QAction) of the program's windows, made one way everywhere:
// the hint is the status text and the tool tip; a command without a hint shows
// its caption, less the "&" of its Alt key, as its tool tip.
#include <QString>

class QAction;
class QObject;
class QWidget;

// A command owned by parent; not in any widget's actions.
QAction* MakeCommand(QObject* parent, const QString& name, const QString& caption, const QString& hint);

// A command owned by window and kept in its actions, so that its shortcut works
// while the window has the focus.
QAction* AddWindowCommand(QWidget* window, const QString& name, const QString& caption, const QString& hint);
