#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

// The station's Qt message handler: echoes each message to standard output and
// appends "timestamp level message" in GBK, ending in CRLF, to the day's log
// file under APPConfig::_logs().
void outputMessage(QtMsgType type, const QMessageLogContext& context, const QString& msg);

// The bytes outputMessage appends for a message logged at the given moment;
// empty when the GBK codec is not available.
QByteArray logFileLine(QtMsgType type, const QString& msg, const QDateTime& when);

// The day's log file for a moment.
QString logFilePath(const QDateTime& when);
