#pragma once
// The about box TfmOprogramu: the program's description and version and the
// versions of the three outside libraries, filled again every time it is shown.
//
// Public API (for the main window's command "O programu" and start-up):
//   RunAboutBox()        fills the texts and shows the window modally (creating it
//                        when start-up has not)
//   fmOprogramu          the window made at start-up (StartUpForms entry)
//   CreateAboutWindow()/DestroyAboutWindow()  the start-up entry's create and destroy
//   TfmOprogramu::FillTexts()  the texts alone, as RunAboutBox sets them
// The pictures are the program's built-in JPEG artwork, decoded with DecodeJpeg
// (app/splash_window.h).
#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

class TfmOprogramu : public QDialog {
  Q_OBJECT
 public:
  explicit TfmOprogramu(QWidget* parent = nullptr);

  QLabel* lblAplikacija = nullptr;
  QLabel* Image1 = nullptr;  // the large picture, the bottom band
  QLabel* Image2 = nullptr;  // the small picture, 64 x 64
  QLabel* lblTarvirsa = nullptr;
  QLabel* lblUnzlib = nullptr;
  QLabel* lblZiplib = nullptr;
  QLabel* lblTarvirsaVer = nullptr;
  QLabel* lblUnzlibVer = nullptr;
  QLabel* lblZiplibVer = nullptr;
  QLabel* lblWeb = nullptr;  // the maker's web address; a click opens it
  QPushButton* btnZatvori = nullptr;

  void FillTexts();
};

extern TfmOprogramu* fmOprogramu;

void RunAboutBox();
void CreateAboutWindow();
void DestroyAboutWindow();

inline const QString kMakerWebAddress = QStringLiteral("http://www.vodezodir.hr");
