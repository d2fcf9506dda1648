// Reply framing of CommIn on arbitrary byte streams cut into arbitrary reads.
//
// Input: a flag byte, a terminator byte, two bytes of filler length, then
// pieces, each a length byte and that many bytes. The stream is the filler
// (letters, no terminator; long enough to reach the reply bound) followed by
// the pieces. Flag bit 0: the terminator is the given byte instead of CR;
// bit 1: a terminator code outside 0..255, which never matches; bit 2: twice
// the filler; bit 3: also send the pieces through the pseudo-terminal to the
// real CommIn; bit 4: a filler at all.
#include "comm/LEDCOMM.h"
#include "comm/frmComm.h"
#include "base/Platform.h"
#include "fuzz/FuzzSupport.h"
#include "params/TRAPAR.h"

#include <QSerialPort>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

FuzzSupport::Terminal g_line;

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_framing: %s\n", what);
        std::abort();
    }
}

// What the reply must be: the stream up to and including the first
// terminator, at most kCommInMaxReply characters; without a terminator the
// first kCommInMaxReply characters.
QString Expected(const QByteArray& stream, int term, bool& complete)
{
    const qsizetype at = term >= 0 && term <= 0xFF ? stream.indexOf(char(term)) : -1;
    complete = at >= 0;
    const qsizetype max = LEDCOMM::kCommInMaxReply;
    if (!complete)
        return QString::fromLatin1(stream.left(max));
    if (at < max)
        return QString::fromLatin1(stream.left(at + 1));
    return QString::fromLatin1(stream.left(max - 1)) + QChar(char16_t(term));
}

// Twice the reply bound of letters from the first one on.
QByteArray Letters(char first)
{
    QByteArray l(2 * LEDCOMM::kCommInMaxReply + 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < l.size(); ++i)
        l[i] = char(first + i % 26);
    return l;
}

// The real CommIn over the terminal, all pieces written before it runs.
void ThroughCommIn(const QByteArray& stream, int term)
{
    if (term < 0 || term > 0xFF || !stream.contains(char(term)))
        return;  // a wait without a terminator lasts the whole time-out
    QSerialPort* port = LEDCOMM::CommForm()->MSComm1;
    LEDCOMM::SetCommInTerm(int16_t(term));
    FuzzSupport::WriteToProgram(g_line, stream);
    Check(FuzzSupport::WaitUntilReadable(g_line, int(stream.size())), "the terminal lost bytes");
    QString reply;
    const int16_t r = LEDCOMM::CommIn(reply);
    bool complete = false;
    Check(r == 1, "CommIn missed a terminator");
    Check(reply == Expected(stream, term, complete), "CommIn's reply is not the stream up to the terminator");
    port->clear(QSerialPort::Input);  // what followed the terminator
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv)
{
    FuzzSupport::Init((*argv)[0]);
    g_line = FuzzSupport::AddTerminal(1);
    FuzzSupport::WriteConfig(FuzzSupport::AppDir() + QStringLiteral("/LED_CONFIG.TXT"), 1, 2000);
    TRAPAR::SetParDir(FuzzSupport::AppDir() + QLatin1Char('/'));
    Check(LEDCOMM::CommReadSettings() == 1, "settings");
    LEDCOMM::CommFormLoad();
    Check(LEDCOMM::CommOpenConfigured(), "open port 1");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const uint8_t flags = data[0];
    int term = 13;
    if (flags & 1)
        term = data[1];
    if (flags & 2)
        term = (flags & 1) ? 256 + data[1] : -1 - data[1];
    qsizetype filler = (flags & 16) ? (data[2] << 8) | data[3] : 0;
    if (flags & 4)
        filler *= 2;

    // Filler in reads of 4 KiB, as the serial layer hands them over; letters
    // of a case that holds no terminator.
    static const QByteArray upper = Letters('A'), lower = Letters('a');
    const QByteArray& letters = term >= 'A' && term <= 'Z' ? lower : upper;
    QByteArray stream = letters.left(filler);
    std::vector<QByteArrayView> reads;
    for (qsizetype at = 0; at < filler; at += 4096)
        reads.push_back(QByteArrayView(letters).sliced(at, std::min<qsizetype>(4096, filler - at)));
    const qsizetype piecesAt = stream.size();
    for (size_t at = 4; at < size;) {
        const size_t n = std::min<size_t>(data[at], size - at - 1);
        reads.emplace_back(data + at + 1, qsizetype(n));
        stream.append(reinterpret_cast<const char*>(data + at + 1), qsizetype(n));
        at += 1 + n;
    }

    QString received;
    int16_t r = 0;
    for (const QByteArrayView b : reads) {
        Check(received.size() <= LEDCOMM::kCommInMaxReply, "more kept than the bound");
        r = LEDCOMM::CommInFrame(received, b.data(), b.size(), int16_t(term));
        Check(r == 0 || r == 1, "result is 0 or 1");
        if (r == 1)
            break;
    }
    bool complete = false;
    const QString expected = Expected(stream, term, complete);
    Check((r == 1) == complete, "result 1 exactly when the stream holds the terminator");
    Check(received == expected, "reply is the stream up to and including the first terminator");
    Check(received.size() <= LEDCOMM::kCommInMaxReply, "more kept than the bound");

    if (flags & 8)
        ThroughCommIn(stream.mid(piecesAt, 4000), term);
    return 0;
}
