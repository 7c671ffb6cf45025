// make_art: draws the panel picture (res/panel.bmp) and the application icons.
//
//   make_art <outdir>              panel.bmp, panel.png, icon_16.png, icon_32.png, icon_48.png, icon_64.png,
//                                  icon_128.png, kova_en.png (256 pixels)
//   make_art --debug <file.png>    picture with the overlay rectangles outlined in magenta
//   make_art --preview <file.png>  the window as the program shows it, with a sample overlay
//   make_art --png <file.png>      the quantised picture as the program loads it
//
// The main window draws key LEDs, LCD rows, selector numbers and a status line straight over
// the picture at fixed client coordinates, and the picture sits at client (3, 0). Everything
// here is therefore laid out from the program's own panel geometry, shifted by the picture
// origin, so that the overlay lands on the pictured key faces, LCD glass and readout windows.

#include "art.h"

#include <QDir>
#include <QGuiApplication>
#include <QStringList>

#include <cstdio>

using namespace art;

namespace {

void saveOrFail(const QImage& img, const QString& path)
{
    if (!img.save(path))
        fail(QStringLiteral("cannot write %1").arg(path));
    std::printf("%s: %dx%d\n", qPrintable(path), img.width(), img.height());
}

int usage()
{
    std::fprintf(stderr, "usage: make_art <outdir>\n"
                         "       make_art --debug <file.png> | --preview <file.png> | --png <file.png>\n");
    return 2;
}

int writeAll(const QString& dirPath)
{
    QDir dir(dirPath);
    if (!dir.exists() && !QDir().mkpath(dirPath))
        fail(QStringLiteral("cannot create %1").arg(dirPath));

    const QImage panel = quantisedPanel();
    const QString bmpPath = dir.filePath(QStringLiteral("panel.bmp"));
    if (!writeFile(bmpPath, encodeBmp8(panel)))
        fail(QStringLiteral("cannot write %1").arg(bmpPath));
    verifyPanelBmp(bmpPath, panel);
    // The same picture as PNG, for the report pages, which carry it inside: a tenth of the
    // BMP's size, and committed so that every system embeds the same bytes.
    const QString pngPath = dir.filePath(QStringLiteral("panel.png"));
    if (!writeFile(pngPath, encodePng(panel)))
        fail(QStringLiteral("cannot write %1").arg(pngPath));

    const QImage i32 = icon32(), i16 = icon16();
    const QByteArray png32 = encodePng(i32), png16 = encodePng(i16);
    const QString p32 = dir.filePath(QStringLiteral("icon_32.png")), p16 = dir.filePath(QStringLiteral("icon_16.png"));
    if (!writeFile(p32, png32) || !writeFile(p16, png16))
        fail(QStringLiteral("cannot write the small icons"));
    verifyIcon(p32, 32);
    verifyIcon(p16, 16);

    // The sizes desktops ask for, each drawn at its size rather than scaled from another, so
    // edges stay sharp. The 256-pixel one keeps the program's name.
    for (const int size : {48, 64, 128, 256}) {
        const QString path =
            dir.filePath(size == 256 ? QStringLiteral("kova_en.png") : QStringLiteral("icon_%1.png").arg(size));
        if (!writeFile(path, encodePng(iconLarge(size))))
            fail(QStringLiteral("cannot write %1").arg(path));
        std::printf("%s: PNG %dx%d ARGB\n", qPrintable(path), size, size);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // Drawing text needs a font database, which needs a platform; none of it needs a display.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments().mid(1);

    if (args.size() == 1 && !args[0].startsWith(QLatin1String("--")))
        return writeAll(args[0]);
    if (args.size() == 2 && args[0] == QLatin1String("--debug"))
        saveOrFail(debugView(), args[1]);
    else if (args.size() == 2 && args[0] == QLatin1String("--preview"))
        saveOrFail(previewView(), args[1]);
    else if (args.size() == 2 && args[0] == QLatin1String("--png"))
        saveOrFail(quantisedPanel(), args[1]);
    else
        return usage();
    return 0;
}
