#include "app/browse_folder.h"

#include <QApplication>
#include <QDir>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/folder_tree.h"
#include "platform/ui_services.h"

TfmBrowseFolder::TfmBrowseFolder(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("fmBrowseFolder"));
  setWindowTitle(kBrowseFolderCaption);
  // A fixed dialog border: no resizing, no minimise or maximise box.
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(370, 355);

  model = new QFileSystemModel(this);
  model->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
  // The picker's tree does not follow changes on disk while it is open.
  model->setOption(QFileSystemModel::DontWatchForChanges);
  model->setReadOnly(true);
  model->setRootPath(QDir::rootPath());

  ShellTreeView1 = new QTreeView(this);
  ShellTreeView1->setObjectName(QStringLiteral("ShellTreeView1"));
  ShellTreeView1->setModel(model);
  ShellTreeView1->setHeaderHidden(true);
  for (int c = 1; c < model->columnCount(); ++c) ShellTreeView1->hideColumn(c);
  // No renaming of folders in the tree.
  ShellTreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ShellTreeView1->setSelectionMode(QAbstractItemView::SingleSelection);
  follower_ = new TFolderTreeFollower(ShellTreeView1, model);

  btnPotvrdi = new QPushButton(QStringLiteral("&Potvrdi"), this);
  btnPotvrdi->setObjectName(QStringLiteral("btnPotvrdi"));
  btnPotvrdi->setDefault(true);
  btnOdustani = new QPushButton(QStringLiteral("&Odustani"), this);
  btnOdustani->setObjectName(QStringLiteral("btnOdustani"));
  btnOdustani->setAutoDefault(false);
  connect(btnPotvrdi, &QPushButton::clicked, this, [this] { done(mrYes); });
  connect(btnOdustani, &QPushButton::clicked, this, [this] { done(mrCancel); });

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnPotvrdi);
  buttons->addWidget(btnOdustani);
  auto* top = new QVBoxLayout(this);
  top->addWidget(ShellTreeView1, 1);
  top->addLayout(buttons);
}

void TfmBrowseFolder::SelectFolder(const QString& folder) { follower_->Follow(folder); }

QString TfmBrowseFolder::SelectedFolder() const {
  const QModelIndex index = ShellTreeView1->currentIndex();
  return index.isValid() ? model->filePath(index) : QString();
}

void TfmBrowseFolder::reject() { done(mrCancel); }

QString RunBrowseFolder(const QString& startFolder, const QString& caption) {
  TfmBrowseFolder picker(QApplication::activeWindow());
  if (!startFolder.isEmpty()) picker.SelectFolder(startFolder);
  if (!caption.isEmpty()) picker.setWindowTitle(caption);
  return picker.exec() == mrYes ? picker.SelectedFolder() : QString();
}
