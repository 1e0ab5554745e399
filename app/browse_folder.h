#pragma once
// The folder picker TfmBrowseFolder of the settings dialog's three folder fields:
// a folder tree filling the window, "&Potvrdi" (the default button, result Yes)
// and "&Odustani" (the cancel button, result Cancel); fixed border, client area
// 370 by 355, default caption "Odabir direktorija".
//
//   RunBrowseFolder(start, caption)  the picker made for one use: a non-empty
//                  start folder is selected and kept in view, the caption set, the
//                  picker shown modally; the selected folder after "&Potvrdi",
//                  else "". Start-up puts it in place as the UI services' folder
//                  dialog (platform/ui_services.h), which BrowseForFolder uses.
#include <QDialog>
#include <QString>

class QFileSystemModel;
class QPushButton;
class QTreeView;
class TFolderTreeFollower;

class TfmBrowseFolder : public QDialog {
  Q_OBJECT
 public:
  explicit TfmBrowseFolder(QWidget* parent = nullptr);

  QTreeView* ShellTreeView1 = nullptr;
  QFileSystemModel* model = nullptr;
  QPushButton* btnPotvrdi = nullptr;
  QPushButton* btnOdustani = nullptr;

  // Selects an existing folder in the tree and keeps it in view.
  void SelectFolder(const QString& folder);
  // The tree's selected folder, "" when none.
  QString SelectedFolder() const;

  // Escape and the close box answer as "&Odustani" does.
  void reject() override;

 private:
  TFolderTreeFollower* follower_ = nullptr;
};

inline const QString kBrowseFolderCaption = QStringLiteral("Odabir direktorija");

QString RunBrowseFolder(const QString& startFolder, const QString& caption);
