#pragma once

#include <QImage>
#include <QRect>

// Finding the window's widgets on a screenshot by their colours.
using ColourTest = bool (*)(QRgb);

// The bounding box of the pixels that pass the test, within rows firstRow..lastRow (-1: to the bottom), or
// an empty rectangle when there are too few to be a widget.
QRect areaOf(const QImage &image, ColourTest test, int firstRow = 0, int lastRow = -1);

bool shows(const QImage &screen, ColourTest test);
