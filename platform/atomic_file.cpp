#include "platform/atomic_file.h"

#include "platform/disk_steps.h"
#include "platform/replacement_file.h"

namespace {

// The step that failed, in the program's Croatian.
QString StepName(WriteStep step) {
  switch (step) {
    case WriteStep::Create: return QStringLiteral("stvaranje");
    case WriteStep::Sync: return QStringLiteral("sinkronizacija");
    case WriteStep::Close: return QStringLiteral("zatvaranje");
    case WriteStep::Check:
    case WriteStep::Rename: return QStringLiteral("preimenovanje");
    case WriteStep::None:
    case WriteStep::Write: break;
  }
  return QStringLiteral("pisanje");
}

}  // namespace

bool WriteFileAtomically(const QString& path, const QByteArray& data, QString* error) {
  QString why = QStringLiteral("empty file name");
  bool ok = false;
  if (!path.isEmpty()) {
    TReplacementFile out;
    ok = out.Create(path) && out.Write(data.constData(), size_t(data.size())) && out.Commit(true);
    if (!ok) why = StepName(out.FailedStep()) + ": " + DiskErrorText(out.SystemError());
  }
  if (error) *error = ok ? QString() : why;
  return ok;
}
