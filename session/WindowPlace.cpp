#include "session/WindowPlace.h"

#include <algorithm>

namespace WindowPlace {

namespace {

constexpr int kGap = 8;
constexpr int kCascadeStep = 32;

}  // namespace

QRect FitOnto(QRect outer, const QRect& work)
{
    if (work.isEmpty()) return outer;
    outer.setWidth(std::min(outer.width(), work.width()));
    outer.setHeight(std::min(outer.height(), work.height()));
    outer.moveLeft(std::clamp(outer.left(), work.left(), work.left() + work.width() - outer.width()));
    outer.moveTop(std::clamp(outer.top(), work.top(), work.top() + work.height() - outer.height()));
    return outer;
}

QRect Beside(const QSize& size, const QRect& anchor, const std::vector<QRect>& taken, const QRect& work)
{
    std::vector<QRect> occupied = taken;
    occupied.push_back(anchor);
    const auto isFree = [&](const QRect& place) {
        return work.contains(place) &&
               std::none_of(occupied.begin(), occupied.end(), [&](const QRect& r) { return r.intersects(place); });
    };
    // Columns right and left of the anchor, going down from its top; then rows below and above
    // it, going right from its left. Each next try starts past the window in the way.
    const int right = anchor.left() + anchor.width() + kGap;
    const int left = anchor.left() - kGap - size.width();
    const int below = anchor.top() + anchor.height() + kGap;
    const int above = anchor.top() - kGap - size.height();
    for (const int x : {right, left}) {
        for (int y = anchor.top(); y + size.height() <= work.top() + work.height();) {
            const QRect place(QPoint(x, std::max(y, work.top())), size);
            if (isFree(place)) return place;
            int next = y + kGap;
            for (const QRect& r : occupied) {
                if (r.intersects(place)) next = std::max(next, r.top() + r.height() + kGap);
            }
            y = next;
        }
    }
    for (const int y : {below, above}) {
        for (int x = anchor.left(); x + size.width() <= work.left() + work.width();) {
            const QRect place(QPoint(std::max(x, work.left()), y), size);
            if (isFree(place)) return place;
            int next = x + kGap;
            for (const QRect& r : occupied) {
                if (r.intersects(place)) next = std::max(next, r.left() + r.width() + kGap);
            }
            x = next;
        }
    }
    return FitOnto(QRect(QPoint(right, anchor.top()), size), work);
}

QPoint Cascade(QPoint topLeft, const QSize& size, const std::vector<QPoint>& others, const QRect& work)
{
    // One step per window at most: with n others, n + 1 places are tried.
    for (std::size_t tries = 0; tries <= others.size(); ++tries) {
        if (std::find(others.begin(), others.end(), topLeft) == others.end()) return topLeft;
        topLeft += QPoint(kCascadeStep, kCascadeStep);
        if (!work.isEmpty() && (topLeft.x() + size.width() > work.left() + work.width() ||
                                topLeft.y() + size.height() > work.top() + work.height())) {
            topLeft = work.topLeft();
        }
    }
    return topLeft;
}

}  // namespace WindowPlace
