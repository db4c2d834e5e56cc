#pragma once
// Where top-level windows open: fully on the work area (a title bar above the screen's top
// edge cannot be grabbed), and beside the windows already open rather than on top of them.
// All rectangles are outer ones, window-manager frame included.

#include <QPoint>
#include <QRect>
#include <QSize>

#include <vector>

namespace WindowPlace {

// The rectangle moved, and cut where it is larger, so that it lies fully on the work area.
QRect FitOnto(QRect outer, const QRect& work);

// A place of `size` next to `anchor` that covers neither it nor any of `taken`: its right
// first, then its left, below and above, each column or row filled from the anchor's edge on.
// Where none is free, the place right of the anchor, fitted onto the work area.
QRect Beside(const QSize& size, const QRect& anchor, const std::vector<QRect>& taken, const QRect& work);

// The top-left corner moved on diagonally while another window already opens exactly there,
// so that two instances with the same settings do not hide each other; wraps round to the work
// area's corner where the next step would leave it.
QPoint Cascade(QPoint topLeft, const QSize& size, const std::vector<QPoint>& others, const QRect& work);

}  // namespace WindowPlace
