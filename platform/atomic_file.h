#pragma once
// Replacing a file's whole content so that a reader, or the next start after a
// crash, sees either the old file or the complete new one, never a part.
//
// The data go to a new file in the same folder, which is flushed to disk and then
// renamed over the target. On any failure the temporary file is removed and the
// earlier file is left as it was.
#include <QByteArray>
#include <QString>

// True when path now holds exactly data. On failure *error (when given) gets the
// system's reason. An existing target keeps its permission bits.
bool WriteFileAtomically(const QString& path, const QByteArray& data, QString* error = nullptr);
