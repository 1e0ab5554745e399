#pragma once
// The borders of the program's fixed dialogs: a title bar with a close box or with
// no box at all, and no minimise or maximise box. Qt gives a dialog the window
// system's default boxes unless it is told exactly which it has; a fixed size
// (the window's least and largest sizes equal) also keeps a window manager from
// offering to maximise it.
#include <QWidget>

// A title bar with only the close box, at the window's current size; the
// window can be neither resized nor maximised.
inline void SetFixedDialogBorder(QWidget* window, bool closeBox = true) {
  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint;
  if (closeBox) flags |= Qt::WindowCloseButtonHint;
  window->setWindowFlags(flags);
}

// The same, fixed at the size its content asks for.
inline void FixDialogSize(QWidget* window) { window->setFixedSize(window->sizeHint()); }
