// Archives spread over several disks or part files.
#include "zip/zip_archiver.h"

// Spanning plugs in here; until then it is refused.
void TZipArchiver::GetNewDisk(int32_t) { throw EZipArchiver::CreateFromId(11048, true); }

void TZipArchiver::CheckForDisk(const uint8_t*, uint32_t, uint32_t) { throw EZipArchiver::CreateFromId(11048, true); }

int32_t TZipArchiver::WriteSpan(const QString&, const QString&) { throw EZipArchiver::CreateFromId(11048, true); }

int32_t TZipArchiver::ReadSpan(const QString&, QString&) { throw EZipArchiver::CreateFromId(11048, true); }
