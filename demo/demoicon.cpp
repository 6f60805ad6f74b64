// Writes a Windows program file (PE32 with one icon resource) for the demo drive folder. The
// icon is a coloured square with a letter, so each quick-launch button can be told apart.
//
//   quorvane-demoicon OUTPUT LETTER RRGGBB
#include "programs/TestIcons.h"

#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <cstdio>

namespace {

constexpr int Size = 32;

QImage drawIcon(const QString& letter, const QColor& color) {
    QImage image(Size, Size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(color.darker(160), 2));
    painter.setBrush(color);
    painter.drawRoundedRect(QRectF(1, 1, Size - 2, Size - 2), 6, 6);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(20);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(image.rect(), Qt::AlignCenter, letter);
    return image;
}

} // namespace

int main(int argc, char** argv) {
    // A build step has no screen; the fonts come all the same.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const QColor color(QLatin1Char('#') + args.value(3));
    if (args.size() != 4 || args.at(2).isEmpty() || !color.isValid()) {
        std::fprintf(stderr, "usage: quorvane-demoicon OUTPUT LETTER RRGGBB\n");
        return 2;
    }

    const TestIcons::Image icon{Size, Size, 32,
                                TestIcons::encoded(drawIcon(args.at(2), color), "PNG")};

    const QString output = args.at(1);
    if (!TestIcons::writeFile(output, TestIcons::peFile({{icon}}))) {
        std::fprintf(stderr, "quorvane-demoicon: cannot write %s\n", qPrintable(output));
        return 1;
    }
    return 0;
}
