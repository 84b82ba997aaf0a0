#pragma once

#include <QApplication>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleOption>
#include <QWidget>

#include <cmath>

// A style such as Fusion strokes a list's frame along the widget's very edge.
// At a fractional scale (1.25, 1.5, ...) that line falls on a half device
// pixel, just outside the widget's clip, which is rounded to whole pixels, or
// under its viewport, and whole sides of the frame vanish. This style draws
// the platform's own frame one device pixel wide on the pixels of that clip.
class PixelFrameStyle : public QProxyStyle
{
public:
    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget) const override
    {
        const QTransform toDevice = painter->deviceTransform();
        const qreal scale = toDevice.m11();
        const auto *frame = qstyleoption_cast<const QStyleOptionFrame *>(option);
        if (element != PE_Frame || !frame || scale == std::floor(scale) || toDevice.type() > QTransform::TxScale) {
            QProxyStyle::drawPrimitive(element, option, painter, widget);
            return;
        }
        // Rounded as the clip is: each edge to the nearest pixel boundary.
        const QRectF exact = toDevice.mapRect(QRectF(option->rect));
        QStyleOptionFrame onPixels(*frame);
        onPixels.rect = QRect(QPoint(qRound(exact.left()), qRound(exact.top())),
                              QPoint(qRound(exact.right()) - 1, qRound(exact.bottom()) - 1));
        painter->save();
        painter->setWorldTransform(toDevice.inverted() * painter->worldTransform()); // now in device pixels
        QProxyStyle::drawPrimitive(element, &onPixels, painter, widget);
        painter->restore();
    }
};

// Gives `widget` the platform's style with its frame kept whole at any scale.
inline void KeepFrameWhole(QWidget *widget)
{
    static QPointer<PixelFrameStyle> style;
    if (!style) {
        style = new PixelFrameStyle;
        style->setParent(qApp); // lives as long as the application, like its own style
    }
    widget->setStyle(style);
}
