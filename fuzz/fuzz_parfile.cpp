// The parameter file reader on arbitrary file contents, then save and reload.
//
// One file in 256 is repeated up to 200 KiB, so the bound of 32,767 entries
// is reached too. Checked: every entry read obeys
// the reading rules; the save writes each entry in its written form; reading
// the saved file keeps the entries whose written line has 5 characters or
// more, with the same names, and the same values where the name holds no
// comma; a second save of that reloaded table and a third agree byte for byte.
#include "base/Platform.h"
#include "fuzz/FuzzSupport.h"
#include "params/TRAPAR.h"

#include <QFile>
#include <cstdio>
#include <cstdlib>

using TRAPAR::ParameterTable;

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_parfile: %s\n", what);
        std::abort();
    }
}

uint32_t Hash(const uint8_t* data, size_t size)
{
    uint32_t h = 2166136261u;  // FNV-1a
    for (size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 16777619u;
    return h;
}

QString g_in, g_out1, g_out2, g_out3;

QByteArray Slurp(const QString& path)
{
    QFile f(path);
    Check(f.open(QIODevice::ReadOnly), "open a saved file");
    return f.readAll();
}

void Spill(const QString& path, const char* data, qsizetype size)
{
    QFile f(path);
    Check(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data, size) == size,
          "write the input file");
}

bool Trimmed(const QString& s)
{
    return !s.startsWith(QLatin1Char(' ')) && !s.endsWith(QLatin1Char(' '));
}

bool HasLineEnd(const QString& s)
{
    return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n'));
}

QByteArray WrittenLine(const TRAPAR::ParameterEntry& e)
{
    return '"' + e.ParName.toLatin1() + "\"," + e.ParValue.toString().toLatin1() + "\r\n";
}

ParameterTable Read(const QString& path)
{
    ParameterTable t{{QStringLiteral("stale"), QStringLiteral("entry")}};
    Check(TRAPAR::ReadParFile(path, t) == 1, "a file that exists reads");
    Check(t.size() <= TRAPAR::kMaxEntries, "no more than 32767 entries");
    return t;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv)
{
    FuzzSupport::Init((*argv)[0]);
    const QString dir = FuzzSupport::AppDir() + QLatin1Char('/');
    g_in = dir + QStringLiteral("in.txt");
    g_out1 = dir + QStringLiteral("out1.txt");
    g_out2 = dir + QStringLiteral("out2.txt");
    g_out3 = dir + QStringLiteral("out3.txt");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* bytes = reinterpret_cast<const char*>(data);
    // Beyond the entry bound: the file repeated to 200 KiB, room for 34,133
    // lines of 5 characters and a line end. Such a file costs a thousand small
    // ones, so one input in 256 picked by a hash the mutations cannot steer.
    const bool big = size > 0 && (Hash(data, size) & 0xFF) == 0;
    if (big) {
        QByteArray many;
        while (many.size() < 200 * 1024)
            many.append(bytes, qsizetype(size));
        Spill(g_in, many.constData(), many.size());
    } else {
        Spill(g_in, bytes, qsizetype(size));
    }

    const ParameterTable t1 = Read(g_in);
    QByteArray written;
    for (const TRAPAR::ParameterEntry& e : t1) {
        Check(e.ParValue.typeId() == QMetaType::QString, "values read are text");
        const QString value = e.ParValue.toString();
        Check(!e.ParName.contains(QLatin1Char('"')), "a name holds no double quote");
        Check(!value.contains(QLatin1Char(',')), "a value holds no comma");
        Check(!HasLineEnd(e.ParName) && !HasLineEnd(value), "no line end inside an entry");
        Check(Trimmed(e.ParName) && Trimmed(value), "names and values are trimmed of spaces");
        written += WrittenLine(e);
    }
    Check(TRAPAR::WriteParFile(g_out1, t1) == 1, "save");
    Check(Slurp(g_out1) == written, "each entry saved in its written form, in order");
    if (big)
        return 0;  // the reload rounds are those of small files, only slower

    const ParameterTable t2 = Read(g_out1);
    qsizetype k = 0;
    for (const TRAPAR::ParameterEntry& e : t1) {
        if (WrittenLine(e).size() - 2 < 5)
            continue;  // a line of 4 characters or fewer is skipped on reading
        Check(k < t2.size(), "an entry of 5 characters or more is lost on reload");
        Check(t2[k].ParName == e.ParName, "reload keeps the name");
        if (!e.ParName.contains(QLatin1Char(',')))
            Check(t2[k].ParValue.toString() == e.ParValue.toString(), "reload keeps the value");
        ++k;
    }
    Check(k == t2.size(), "reload adds entries");

    Check(TRAPAR::WriteParFile(g_out2, t2) == 1, "second save");
    const ParameterTable t3 = Read(g_out2);
    Check(TRAPAR::WriteParFile(g_out3, t3) == 1, "third save");
    Check(Slurp(g_out2) == Slurp(g_out3), "a reloaded save saves the same bytes");
    return 0;
}
