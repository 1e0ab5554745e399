#pragma once
// A folder tree over the file system that keeps its chosen folder in view.
//
// QFileSystemModel reads folders in the background and sorts them afterwards, so
// the rows above a chosen folder keep arriving and moving after it was selected,
// and the first scroll happens before the window has its final size. KeepInView
// scrolls the tree to the folder again after every such change, until the user
// takes the tree over (a click, the wheel, a key, the scroll bar) or another
// folder becomes current.
#include <QObject>
#include <QPersistentModelIndex>

class QFileSystemModel;
class QTreeView;

class TFolderTreeFollower : public QObject {
  Q_OBJECT
 public:
  TFolderTreeFollower(QTreeView* tree, QFileSystemModel* model);
  // Makes folder (an existing one) current and keeps it in view; false when the
  // model has no row for it.
  bool Follow(const QString& folder);
  // Whether the folder is still being followed.
  bool Following() const { return target_.isValid(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Scroll();
  void Stop();

  QTreeView* tree_;
  QFileSystemModel* model_;
  QPersistentModelIndex target_;
  bool scrolling_ = false;
};
