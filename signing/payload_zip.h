#pragma once
// The shape of a container's payload archive, checked byte by byte before anything
// of it is shown, saved, compared or signed.
//
// Readers of ZIP archives disagree about what an archive holds once it carries
// more than one entry's worth of structure: one that starts from the end record
// and one that streams from the first local header can show different files. So
// the one document of a container is accepted only in the one shape that every
// reader sees alike, the shape our own signing writes.
#include <QString>

// Whether the archive at path is exactly one document: one local entry at its
// first byte (a data descriptor after its data where its flags announce one),
// directly followed by its one central directory entry and by the end record,
// which ends the file; nothing before, between or after them. The local and the
// central header agree on the name, the method, the CRC and both sizes; the
// central entry points at the local one; the end record counts one entry on one
// disk and names exactly that directory; neither the archive's comment nor the
// entry's holds a ZIP signature; no size takes the Zip64 marker. Every read is
// bounded by the headers' own lengths: the entry's data is never read.
// false also when the file cannot be read; *systemError (when given) is then the
// system's error number, else 0.
bool IsSingleDocumentZip(const QString& path, int* systemError = nullptr);
