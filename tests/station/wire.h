#pragma once

// The simulator's capture read back with tshark, as anyone would read a
// capture of the real printer: the bulk records, and the command frames the
// station wrote summed up in one line.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace station {

struct UsbRecord {
    QString id;          // the URB's id, shared by its submission and completion
    QString urbType;     // "S" submission or "C" completion
    int endpoint = 0;    // with the direction bit 0x80
    int urbLength = 0;
    int dataLength = 0;
    int status = 0;
    QByteArray data;

    bool isOut() const { return !(endpoint & 0x80); }
    // Endpoint, direction, lengths, status and data; no times, no URB ids.
    QString text() const;
};

// Every record of the capture, in order. A missing capture reads as none
// (a station that never opened the printer leaves none); a capture tshark
// cannot read sets `error`.
QList<UsbRecord> readCapture(const QString& path, QString* error);

// The command frames in the bytes the station wrote, one word each:
//   S            status request
//   T3/2x5       print task: 3 pages, page 2, 5 units
//   U4h1         image unit: unit number 4, print head 1
//   E            end of job
//   R            buffer reset
//   ?xx          any other command code
// Bytes that do not form a frame show as "junk".
//
// With `markUndelivered` a frame the printer did not take whole is followed
// by "!": one of its transfers failed, or the device took fewer bytes than
// were written (`S T1/1x3! U0h1`).
QString wireSummary(const QList<UsbRecord>& records, bool markUndelivered = false);

// Status replies asked for: submissions of 42-byte reads.
int statusReads(const QList<UsbRecord>& records);

} // namespace station
