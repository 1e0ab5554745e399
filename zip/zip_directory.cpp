// Reading an archive's directory.
#include "zip/zip_archiver.h"

void TZipArchiver::List() {
  ClearDirectory();
  disk_.diskNr = 0;
  disk_.totalDisks = 0;
  dataOffset_ = 0;
  zipComment_.clear();
  spanned_ = false;
  droppedDirEntries_ = 0;
  errCode_ = 0;
  // The central directory reader plugs in here; until then every archive lists
  // as empty.
  if (OnDirUpdate) OnDirUpdate(*this);
}
