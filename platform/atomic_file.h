#pragma once
// Replacing a file's whole content so that a reader, or the next start after a
// crash, sees either the old file or the complete new one, never a part.
//
// A short form of the program's transactional writer (platform/replacement_file.h)
// for content held in memory: the data go to a new file in the target's folder,
// which is flushed to disk and then renamed over the target. On any failure the
// temporary file is removed and the earlier file is left as it was.
#include <QByteArray>
#include <QString>

// True when path now holds exactly data. On failure *error (when given) gets the
// failing step and the system's reason ("pisanje: ..."). An existing target keeps
// its permission bits; a symbolic link is followed.
bool WriteFileAtomically(const QString& path, const QByteArray& data, QString* error = nullptr);
