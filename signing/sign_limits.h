#pragma once
// Limits that a signing must meet before it packs anything or asks the card, so
// that what it would make is refused before the work, not after it.
#include <QString>
#include <cstdint>

// Files of this size or more are not packed for signing. Our ZIP libraries write
// no Zip64, so the archive (local header, data, directory and end record) must
// stay below 4 GiB; deflated incompressible data is a little larger than its input
// (up to about 1/2800 more in the adding library's independent blocks, which it
// writes before it can fall back to storing the file), so the limit keeps 4 MiB
// for that and for the headers.
inline constexpr int64_t kMaxPackedFileSize = (int64_t(4) << 30) - (int64_t(4) << 20);

// The first of the names that signing documentName into containerPath makes, or
// that later showing, comparing and saving its file make, that cannot exist on the
// file system where it goes (longer than that folder's pathconf(_PC_NAME_MAX)), as
// a full path; empty when every one can. The names: the container's own, the
// document's name beside the container (where the automatic save puts it), and
// the document's name and "Tmp_Orig_" + that name in the temporary folder (the
// extraction and the copy that is viewed or compared). Temporary names beside a
// file have a fixed length and are not counted.
QString NameThatCannotExist(const QString& documentName, const QString& containerPath);
