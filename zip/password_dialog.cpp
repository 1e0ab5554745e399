// Asking the user for an archive password when no OnPasswordError handler is bound.
#include "zip/zip_archiver.h"

// The dialog plugs in here; until then a question counts as cancelled.
void TZipArchiver::GetAddPassword(QString& password) {
  password.clear();
  if (unattended_) {
    ShowZipMessage(10150);
    return;
  }
  lastPasswordButton_ = pwbCancel;
}

void TZipArchiver::GetExtrPassword(QString& password) {
  password.clear();
  if (unattended_) {
    ShowZipMessage(10151);
    return;
  }
  lastPasswordButton_ = pwbCancel;
}
