#ifndef STDOUTCAPTURE_H
#define STDOUTCAPTURE_H

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <unistd.h>

// Sends standard output to a temporary file while it lives, so a test can
// assert the exact log lines. stdout must be unbuffered (as in the program),
// so every line is in the file the moment it is printed. What was captured is
// echoed to the real output afterwards, test failures included.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        std::fflush(stdout);
        m_file = std::tmpfile();
        m_saved = dup(STDOUT_FILENO);
        if (m_file && m_saved >= 0)
            dup2(fileno(m_file), STDOUT_FILENO);
    }

    ~StdoutCapture()
    {
        const QByteArray all = text();
        std::fflush(stdout);
        if (m_saved >= 0) {
            dup2(m_saved, STDOUT_FILENO);
            ::close(m_saved);
        }
        if (m_file)
            std::fclose(m_file);
        std::fwrite(all.constData(), 1, static_cast<size_t>(all.size()), stdout);
    }

    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    // Everything written so far.
    QByteArray text() const
    {
        QByteArray out;
        if (!m_file)
            return out;
        char buffer[4096];
        off_t offset = 0;
        for (;;) {
            const ssize_t n = pread(fileno(m_file), buffer, sizeof(buffer), offset);
            if (n <= 0)
                break;
            out.append(buffer, static_cast<int>(n));
            offset += n;
        }
        return out;
    }

    // LightConsole's own lines (those that begin with the 24-character time
    // stamp), with the stamp removed. Library lines carry no stamp.
    QStringList stampedLines() const
    {
        static const QRegularExpression stamp(
            QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} "));
        QStringList out;
        const QStringList lines = QString::fromUtf8(text()).split(QLatin1Char('\n'));
        for (const QString &line : lines) {
            if (stamp.match(line).hasMatch())
                out << line.mid(24);
        }
        return out;
    }

    // The stamped lines that start with one of `prefixes` (such as "[info ] <SerialDeviceWidget").
    QStringList stampedLinesFrom(const QStringList &prefixes) const
    {
        QStringList out;
        for (const QString &line : stampedLines()) {
            for (const QString &prefix : prefixes) {
                if (line.startsWith(prefix)) {
                    out << line;
                    break;
                }
            }
        }
        return out;
    }

private:
    std::FILE *m_file = nullptr;
    int m_saved = -1;
};

#endif // STDOUTCAPTURE_H
