#pragma once
// The splash window shown while the program starts, and the JPEG decoder for its
// picture.
#include <QByteArray>
#include <QImage>
#include <QWidget>

class QLabel;

class TfmStartUp : public QWidget {
  Q_OBJECT
 public:
  explicit TfmStartUp(QWidget* parent = nullptr);
  ~TfmStartUp() override;

  QLabel* Image1 = nullptr;  // the picture, stretched to 268 x 92
  QLabel* Label1 = nullptr;  // the waiting text
};

// The splash window while it exists.
extern TfmStartUp* fmStartUp;

// Decodes a baseline or progressive JPEG (grey or colour) with libjpeg; a null
// image for anything it cannot decode.
QImage DecodeJpeg(const QByteArray& data);

// The splash picture built into the program.
QByteArray SplashJpeg();

inline const QString kSplashText = QStringLiteral("Program se učitava, molimo Vas da pričekate.");
