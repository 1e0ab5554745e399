#pragma once
// The component's message table (ids 10101 to 11502) and the one formatter that
// fills its placeholders.
#include <QString>
#include <QStringList>

#include "zip/zip_message_ids.h"

// The table's text for an id; empty when the id has none.
QString ZipMessageText(int id);
// Every id of the table, ascending.
QList<int> ZipMessageIds();

// Fills "%s", "%d" and "%.1d" placeholders, in order, with args (each taken as
// text, so a "%d" may be given the decimal text of a number); "%%" is one "%".
// Anything else after a "%" stays as it stands, a placeholder without an argument
// becomes empty and surplus arguments are ignored: table texts and texts that a
// handler supplies are never used as printf formats.
QString FormatZipText(const QString& format, const QStringList& args);
