#include "platform/program_locale.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QtGlobal>

void UseProgramLocale() {
  // Qt takes the system's locale from the environment, LC_ALL first, when it is
  // first asked for it: for that one look LC_ALL names Croatian, then it is put back.
  const bool had = qEnvironmentVariableIsSet("LC_ALL");
  const QByteArray earlier = qgetenv("LC_ALL");
  qputenv("LC_ALL", "hr_HR.UTF-8");
  (void)QLocale::system().name();
  if (had)
    qputenv("LC_ALL", earlier);
  else
    qunsetenv("LC_ALL");
  QLocale::setDefault(QLocale(QLocale::Croatian, QLocale::Croatia));
}

QString LongTimeFormat(const QLocale& locale) {
  // Croatian writes the zone in brackets, "HH:mm:ss (t)": the brackets go with it.
  QString f = locale.timeFormat(QLocale::LongFormat);
  f.remove(QRegularExpression(QStringLiteral("\\s*\\(?(?<![A-Za-z'])t+(?![A-Za-z'])\\)?")));
  return f.trimmed();
}

QString ShortDateLongTimeText(const QDateTime& at, const QLocale& locale) {
  if (!at.isValid()) return QString();
  QString text = locale.toString(at.date(), QLocale::ShortFormat);
  if (at.time() != QTime(0, 0)) text += QLatin1Char(' ') + locale.toString(at.time(), LongTimeFormat(locale));
  return text;
}
