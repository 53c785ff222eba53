#include "ScreenArea.h"

#include <QtGlobal>

namespace {

// Fewer matching pixels than this are edges of something else, not a button or a progress bar.
constexpr int MinimumAreaPixels = 200;

} // namespace

QRect areaOf(const QImage &image, ColourTest test, int firstRow, int lastRow)
{
    const int last = lastRow < 0 ? image.height() - 1 : qMin(lastRow, image.height() - 1);
    QRect area;
    int count = 0;
    for (int y = qMax(0, firstRow); y <= last; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (test(line[x])) {
                area |= QRect(x, y, 1, 1);
                ++count;
            }
        }
    }
    return count >= MinimumAreaPixels ? area : QRect();
}

bool shows(const QImage &screen, ColourTest test)
{
    return !areaOf(screen, test).isNull();
}
