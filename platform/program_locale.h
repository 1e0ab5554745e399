#pragma once
// The program's own locale: Croatian dates, times and numbers whatever the
// system's locale is (a fresh machine runs C.UTF-8, whose texts are English).
//
// UseProgramLocale() makes Croatian (Croatia) both the default locale (QLocale())
// and the one Qt takes for the system's (QLocale::system()), which some of Qt's
// own widgets use, the file dialog's sizes and dates among them. Call it before
// the application object is made: Qt reads the system's locale once. The C
// library's locale and the environment that child processes inherit stay as the
// user set them.
#include <QDateTime>
#include <QLocale>
#include <QString>

void UseProgramLocale();

// The locale's long time format without its time zone, which the program's
// wall-clock times do not carry.
QString LongTimeFormat(const QLocale& locale);
// A date and time in the locale's short-date and long-time formats, the time left
// out when it is exactly midnight; empty for an invalid value.
QString ShortDateLongTimeText(const QDateTime& at, const QLocale& locale = QLocale());
