#include "app/folder_tree.h"

#include <QAbstractItemView>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QItemSelectionModel>
#include <QScrollBar>
#include <QTimer>
#include <QTreeView>

TFolderTreeFollower::TFolderTreeFollower(QTreeView* tree, QFileSystemModel* model)
    : QObject(tree), tree_(tree), model_(model) {
  auto later = [this] {
    // After the view has laid the new rows out.
    if (Following()) QTimer::singleShot(0, this, [this] { Scroll(); });
  };
  connect(model_, &QFileSystemModel::directoryLoaded, this, later);
  connect(model_, &QAbstractItemModel::rowsInserted, this, later);
  connect(model_, &QAbstractItemModel::layoutChanged, this, later);
  connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
    if (!scrolling_ && current != target_) Stop();
  });
  tree_->installEventFilter(this);
  tree_->viewport()->installEventFilter(this);
  tree_->verticalScrollBar()->installEventFilter(this);
}

bool TFolderTreeFollower::Follow(const QString& folder) {
  const QString path = QDir::cleanPath(folder);
  if (path.isEmpty() || !QFileInfo(path).isDir()) return false;
  const QModelIndex index = model_->index(path);
  if (!index.isValid()) return false;
  scrolling_ = true;
  target_ = index;
  tree_->setCurrentIndex(index);
  scrolling_ = false;
  Scroll();
  return true;
}

void TFolderTreeFollower::Scroll() {
  if (!target_.isValid()) return;
  scrolling_ = true;
  tree_->scrollTo(target_, QAbstractItemView::PositionAtCenter);
  scrolling_ = false;
}

void TFolderTreeFollower::Stop() { target_ = QPersistentModelIndex(); }

bool TFolderTreeFollower::eventFilter(QObject* watched, QEvent* event) {
  if (Following()) {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonDblClick:
      case QEvent::Wheel:
      case QEvent::KeyPress: Stop(); break;
      case QEvent::Resize:
      case QEvent::Show:
        // The view's final size: the row's place in the middle moves with it.
        if (watched == tree_->viewport()) QTimer::singleShot(0, this, [this] { Scroll(); });
        break;
      default: break;
    }
  }
  return QObject::eventFilter(watched, event);
}
