// SPDX-License-Identifier: MIT
#ifndef FIRMWARECHECK_H
#define FIRMWARECHECK_H

// The check before an update, apart from the dialog: what makes a firmware
// file fit to be sent whole and intact, and the lines it read. The dialog
// keeps what the check read, and sends nothing that differs from it.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QVector>

// A firmware file as the program reads it. Opened by its descriptor (see
// FirmwareCheck::open), a QFile has no name of its own; this one keeps the
// path it was opened by, which the lines about it print.
class FirmwareFile : public QFile
{
public:
    QString fileName() const override { return path; }
    void setPath(const QString &name) { path = name; }

private:
    QString path;
};

// A firmware file as the check read it when Update was pressed: its lines up
// to and including the end record, each as it goes to the unit (a CR LF line
// end read as LF), or the reason it cannot be sent.
class CheckedImage
{
public:
    QString fault; // empty when the file can be sent
    // Lines after the end record, which are not sent; counted up to
    // FirmwareCheck::kCountLimit.
    int linesAfterEnd = 0;
    // The diagnostic note on those lines; empty when there are none.
    QString afterEndNote() const;

    int lineCount() const { return int(lineStarts.size()); }
    // Line number (from 1) as checked; empty past the end record.
    QByteArray line(int number) const;
    void append(const QByteArray &line);

private:
    // One buffer for all lines: a file of 65,535 short lines costs its size,
    // not a heap block per line.
    QByteArray text;
    QVector<int> lineStarts;
};

namespace FirmwareCheck {

// The count at start-up stops here: a file of more lines is refused when
// Update is pressed, and the 16-bit line numbers could not carry it.
constexpr int kCountLimit = 0x10000;

// Lines up to and including the end record, or all lines without one; 0 for
// a file that cannot be opened. It stops early where the file could never be
// sent, so that no file holds the window back: at kCountLimit lines, and at a
// line too long for a report, which is counted and not read to its end.
int countLines(const QString &path);

// Reads and checks one firmware file, stopping at its end record or its
// first fault.
CheckedImage checkFile(const QString &path);

// One line with its line end, a CR LF read as LF. A line too long for a
// report is refused anyway, so only its first bytes are kept and the rest is
// counted: a file without line ends costs no more memory than a normal one.
// textLength gets the number of characters before the line end. Empty: a
// read error.
QByteArray readLine(QIODevice &file, qint64 &textLength);

// Why line number cannot go to the unit as it is, or nothing.
QString lineFault(const QByteArray &line, qint64 textLength, int number);

// Opens path for reading as file, or says why it cannot be: also a path that
// is not a regular file (a named pipe would hold the window until something
// writes to it), whatever it was when it was looked at before.
QString open(FirmwareFile &file, const QString &path, QIODevice::OpenMode mode = QIODevice::ReadOnly);

} // namespace FirmwareCheck

#endif // FIRMWARECHECK_H
