#pragma once

#include <QRect>

// Window layouts are drawn in twips; 15 make one pixel at 96 dots per inch.
constexpr int px(int twips)
{
    return (twips + 7) / 15;
}

inline QRect twipRect(int left, int top, int width, int height)
{
    return {px(left), px(top), px(width), px(height)};
}
