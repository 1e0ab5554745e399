#include "app/splash_window.h"

#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

TfmStartUp* fmStartUp = nullptr;

// The picture's bytes, generated at build time from app/resources/splash.jpg.
extern const unsigned char kSplashJpegData[];
extern const unsigned long kSplashJpegSize;

namespace {

struct JpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

void OnJpegError(j_common_ptr info) {
  auto* err = reinterpret_cast<JpegError*>(info->err);
  std::longjmp(err->jump, 1);
}

void IgnoreJpegMessage(j_common_ptr) {}

// Pictures larger than this are refused rather than decoded.
constexpr unsigned long kMaxPixels = 16u * 1024u * 1024u;

}  // namespace

QImage DecodeJpeg(const QByteArray& data) {
  if (data.isEmpty()) return QImage();
  // Everything that must survive a longjmp lives outside the guarded part and is
  // trivially destructible, or is released after it.
  jpeg_decompress_struct info;
  JpegError err;
  info.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = OnJpegError;
  err.mgr.output_message = IgnoreJpegMessage;
  QImage* volatile image = nullptr;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&info);
    delete image;
    return QImage();
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(data.constData()),
               static_cast<unsigned long>(data.size()));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&info);
    return QImage();
  }
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  const unsigned long pixels = static_cast<unsigned long>(info.output_width) * info.output_height;
  if (info.output_components != 3 || pixels == 0 || pixels > kMaxPixels) {
    jpeg_destroy_decompress(&info);
    return QImage();
  }
  image = new QImage(int(info.output_width), int(info.output_height), QImage::Format_RGB888);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = image->scanLine(int(info.output_scanline));
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  QImage result = std::move(*image);
  delete image;
  return result;
}

QByteArray SplashJpeg() {
  return QByteArray::fromRawData(reinterpret_cast<const char*>(kSplashJpegData), qsizetype(kSplashJpegSize));
}

TfmStartUp::TfmStartUp(QWidget* parent) : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint) {
  setObjectName("fmStartUp");
  setFixedSize(274, 109);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(0x80, 0x80, 0x80));
  pal.setColor(QPalette::WindowText, Qt::white);
  setPalette(pal);

  Image1 = new QLabel(this);
  Image1->setObjectName("Image1");
  Image1->setGeometry(3, 3, 268, 92);
  Image1->setScaledContents(true);
  const QImage picture = DecodeJpeg(SplashJpeg());
  if (!picture.isNull()) Image1->setPixmap(QPixmap::fromImage(picture));

  Label1 = new QLabel(kSplashText, this);
  Label1->setObjectName("Label1");
  Label1->setGeometry(0, 95, 274, 14);
  Label1->setAlignment(Qt::AlignCenter);
  QFont f = Label1->font();
  f.setPointSize(7);
  Label1->setFont(f);

  if (QScreen* screen = this->screen()) move(screen->availableGeometry().center() - rect().center());
}

TfmStartUp::~TfmStartUp() {
  if (fmStartUp == this) fmStartUp = nullptr;
}
