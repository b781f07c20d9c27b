#include "TraceWriter.h"

bool TraceWriter::open(const QString &path, QString *error)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        *error = QStringLiteral("cannot write the trace %1: %2").arg(path, m_file.errorString());
        return false;
    }
    m_file.write("# brasvik-sim trace 1: <us> H>D|D>H SER <hex> | <us> H>D|D>H CAN <id> <hex> | "
                 "<us> EVT <text>\n");
    return true;
}

void TraceWriter::serial(bool fromHost, const QByteArray &bytes, SimClock::Micros at)
{
    if (bytes.isEmpty())
        return;
    line(at, (fromHost ? "H>D SER " : "D>H SER ") + bytes.toHex().toUpper());
}

void TraceWriter::can(bool fromHost, quint32 id, const QByteArray &data, SimClock::Micros at)
{
    line(at,
         (fromHost ? "H>D CAN " : "D>H CAN ")
             + QByteArray::number(id, 16).toUpper().rightJustified(3, '0') + ' '
             + (data.isEmpty() ? QByteArray("-") : data.toHex().toUpper()));
}

void TraceWriter::event(const QString &text, SimClock::Micros at)
{
    QString oneLine = text;
    oneLine.replace(QLatin1Char('\n'), QLatin1Char(' '));
    line(at, "EVT " + oneLine.toUtf8());
}

void TraceWriter::flush()
{
    if (m_file.isOpen())
        m_file.flush();
}

void TraceWriter::line(SimClock::Micros at, const QByteArray &rest)
{
    if (!m_file.isOpen())
        return;
    m_file.write(QByteArray::number(at) + ' ' + rest + '\n');
}
