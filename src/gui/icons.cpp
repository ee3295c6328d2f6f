#include "icons.h"

#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include <memory>

namespace korvel {

namespace {

// Renders once per pixel size and mode and keeps the picture: list views
// paint their icons on every repaint.
class SvgIconEngine : public QIconEngine {
public:
    explicit SvgIconEngine(QByteArray svg)
        : svg_(std::move(svg))
        , renderer_(std::make_shared<QSvgRenderer>(svg_))
    {
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawPixmap(rect, scaledPixmap(rect.size(), mode, state, ratio));
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State, qreal scale) override
    {
        const QSize pixels = (QSizeF(size) * scale).toSize();
        const quint64 key
            = (quint64(quint32(pixels.width())) << 32) | (quint64(quint16(pixels.height())) << 8) | quint64(mode);
        if (const auto found = cache_.constFind(key); found != cache_.constEnd())
            return *found;
        QPixmap picture(pixels);
        picture.fill(Qt::transparent);
        {
            QPainter painter(&picture);
            if (mode == QIcon::Disabled)
                painter.setOpacity(0.45);
            renderer_->render(&painter, QRectF(QPointF(), QSizeF(pixels)));
        }
        picture.setDevicePixelRatio(scale);
        cache_.insert(key, picture);
        return picture;
    }

    QIconEngine* clone() const override { return new SvgIconEngine(svg_); }
    QString key() const override { return QStringLiteral("KorvelSvg"); }
    bool isNull() override { return !renderer_->isValid(); }

private:
    QByteArray svg_;
    std::shared_ptr<QSvgRenderer> renderer_;
    QHash<quint64, QPixmap> cache_;
};

} // namespace

QIcon SvgIcon(const QByteArray& svg)
{
    return QIcon(new SvgIconEngine(svg));
}

QIcon StationImage(int index)
{
    return SvgIcon(StationSvg(index));
}

QIcon SystemImage(int index)
{
    return SvgIcon(SystemSvg(index));
}

QIcon SystemStatusImage(int status)
{
    return SvgIcon(SystemStatusSvg(status));
}

QIcon ApplicationImage()
{
    return SvgIcon(ApplicationSvg());
}

} // namespace korvel
