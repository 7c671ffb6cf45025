#include "art.h"

#include <QBuffer>
#include <QFile>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace art {

// File writers. The BMP is written by hand so its layout is fixed: Qt's BMP writer sizes the
// colour table to the image's colour count, and the program's picture has a table of 256.

void put16(QByteArray& b, unsigned v)
{
    b.append(char(v & 0xff));
    b.append(char((v >> 8) & 0xff));
}

void put32(QByteArray& b, uint32_t v)
{
    put16(b, v & 0xffff);
    put16(b, v >> 16);
}

uint32_t get16(const QByteArray& b, int at)
{
    return uint32_t(uchar(b[at])) | uint32_t(uchar(b[at + 1])) << 8;
}

uint32_t get32(const QByteArray& b, int at)
{
    return get16(b, at) | get16(b, at + 2) << 16;
}

constexpr uint32_t kPelsPerMetre96Dpi = 3780;

// Standard 8-bit BMP: BITMAPFILEHEADER, BITMAPINFOHEADER, 256 RGBQUADs, rows bottom-up, each
// row padded to a multiple of four bytes.
QByteArray encodeBmp8(const QImage& img)
{
    const int stride = (img.width() + 3) & ~3;
    const uint32_t offBits = 14 + 40 + 256 * 4;
    const uint32_t imageSize = uint32_t(stride) * uint32_t(img.height());
    QByteArray b;
    b.append("BM");
    put32(b, offBits + imageSize);
    put32(b, 0);
    put32(b, offBits);
    put32(b, 40);
    put32(b, uint32_t(img.width()));
    put32(b, uint32_t(img.height())); // positive height: bottom-up rows
    put16(b, 1);
    put16(b, 8);
    put32(b, 0); // BI_RGB
    put32(b, imageSize);
    put32(b, kPelsPerMetre96Dpi);
    put32(b, kPelsPerMetre96Dpi);
    put32(b, 256);
    put32(b, 0);
    const QList<QRgb> table = img.colorTable();
    for (int i = 0; i < 256; ++i) {
        const QRgb c = i < table.size() ? table[i] : qRgb(0, 0, 0);
        b.append(char(qBlue(c)));
        b.append(char(qGreen(c)));
        b.append(char(qRed(c)));
        b.append(char(0));
    }
    for (int y = img.height() - 1; y >= 0; --y) {
        b.append(reinterpret_cast<const char*>(img.constScanLine(y)), img.width());
        b.append(QByteArray(stride - img.width(), '\0'));
    }
    return b;
}

[[noreturn]] void fail(const QString& what)
{
    std::fprintf(stderr, "make_art: %s\n", qPrintable(what));
    std::exit(1);
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(data) == data.size() && f.flush();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read back %1").arg(path));
    return f.readAll();
}

// Reads the written picture back and checks every header field the program relies on, then
// that a decoder sees the same pixels as the image that was encoded.
void verifyPanelBmp(const QString& path, const QImage& expected)
{
    const QByteArray b = readFile(path);
    auto check = [&](bool ok, const char* what) {
        if (!ok)
            fail(QStringLiteral("%1: %2").arg(path, QString::fromLatin1(what)));
    };
    check(b.size() >= 54 && b.startsWith("BM"), "not a BMP file");
    check(get32(b, 2) == uint32_t(b.size()), "bfSize does not match the file size");
    check(get32(b, 14) == 40, "info header is not BITMAPINFOHEADER");
    check(int32_t(get32(b, 18)) == kPictureWidth, "width is not 340");
    check(int32_t(get32(b, 22)) == kPictureHeight, "height is not +499 (bottom-up)");
    check(get16(b, 26) == 1, "biPlanes is not 1");
    check(get16(b, 28) == 8, "biBitCount is not 8");
    check(get32(b, 30) == 0, "biCompression is not BI_RGB");
    check(get32(b, 46) == 256, "colour table does not have 256 entries");
    check(get32(b, 10) == 14 + 40 + 1024, "pixel data does not follow a 256-entry table");
    check(get32(b, 10) + uint32_t(((kPictureWidth + 3) & ~3) * kPictureHeight) == uint32_t(b.size()),
          "pixel data size wrong");

    QImage decoded;
    check(decoded.loadFromData(b, "BMP"), "Qt cannot decode it");
    check(decoded.size() == QSize(kPictureWidth, kPictureHeight), "decoded size differs");
    const QImage a = decoded.convertToFormat(QImage::Format_RGB32);
    const QImage e = expected.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < kPictureHeight; ++y)
        for (int x = 0; x < kPictureWidth; ++x)
            check(a.pixel(x, y) == e.pixel(x, y), "decoded pixels differ from the encoded image");
    std::printf("%s: BMP %dx%d, biBitCount %u, biCompression %u, biClrUsed %u, bottom-up, %lld bytes\n",
                qPrintable(path), int32_t(get32(b, 18)), int32_t(get32(b, 22)), get16(b, 28), get32(b, 30),
                get32(b, 46), static_cast<long long>(b.size()));
}

QByteArray encodePng(const QImage& img)
{
    QByteArray data;
    QBuffer buf(&data);
    buf.open(QIODevice::WriteOnly);
    if (!img.save(&buf, "PNG"))
        fail(QStringLiteral("PNG encoding failed"));
    return data;
}

void verifyIcon(const QString& path, int size)
{
    QImage img;
    if (!img.load(path))
        fail(QStringLiteral("%1: cannot decode").arg(path));
    if (img.size() != QSize(size, size) || img.format() != QImage::Format_Indexed8 || img.colorCount() > 16)
        fail(QStringLiteral("%1: expected %2x%2 indexed with at most 16 colours, got %3x%4 format %5, %6 colours")
                 .arg(path)
                 .arg(size)
                 .arg(img.width())
                 .arg(img.height())
                 .arg(int(img.format()))
                 .arg(img.colorCount()));
    std::printf("%s: PNG %dx%d indexed, %d colours\n", qPrintable(path), size, size, int(img.colorCount()));
}

} // namespace art
