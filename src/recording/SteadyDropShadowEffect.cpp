#include "recording/SteadyDropShadowEffect.h"

#include <QPainter>
#include <QPixmap>
#include <algorithm>
#include <cmath>
#include <vector>

namespace zimlo::recording {
namespace {

// One pass of a box blur of `half` pixels each way over `lines` lines of `count` values each:
// neighbours on a line are `stride` apart, lines `lineStride` apart.
void boxPass(std::vector<int>& values, int count, int lines, int stride, int lineStride, int half) {
    std::vector<int> line(static_cast<size_t>(count));
    const int window = 2 * half + 1;
    for (int l = 0; l < lines; ++l) {
        const size_t base = static_cast<size_t>(l) * static_cast<size_t>(lineStride);
        for (int i = 0; i < count; ++i)
            line[static_cast<size_t>(i)] = values[base + static_cast<size_t>(i) * stride];
        int sum = 0;
        for (int i = -half; i <= half; ++i)
            sum += (i >= 0 && i < count) ? line[static_cast<size_t>(i)] : 0;
        for (int i = 0; i < count; ++i) {
            values[base + static_cast<size_t>(i) * stride] = sum / window;
            const int leaving = i - half;
            const int coming = i + half + 1;
            if (leaving >= 0) sum -= line[static_cast<size_t>(leaving)];
            if (coming < count) sum += line[static_cast<size_t>(coming)];
        }
    }
}

}  // namespace

SteadyDropShadowEffect::SteadyDropShadowEffect(QColor color, qreal blurRadius, QPointF offset,
                                               QObject* parent)
    : QGraphicsEffect(parent), color_(color), blurRadius_(blurRadius), offset_(offset) {}

QRectF SteadyDropShadowEffect::boundingRectFor(const QRectF& rect) const {
    const qreal spread = blurRadius_;
    return rect.united(rect.translated(offset_).adjusted(-spread, -spread, spread, spread));
}

void SteadyDropShadowEffect::draw(QPainter* painter) {
    QPoint at;
    const QPixmap source = sourcePixmap(Qt::DeviceCoordinates, &at, QGraphicsEffect::NoPad);
    if (source.isNull()) return;
    const qreal ratio = source.devicePixelRatio();
    const int margin = static_cast<int>(std::ceil(blurRadius_ * ratio));
    if (shadow_.isNull() || shadowSourceSize_ != source.size() || shadowRatio_ != ratio) {
        shadow_ = makeShadow(source, margin);
        shadowSourceSize_ = source.size();
        shadowRatio_ = ratio;
        ++shadowsMade_;
    }
    const QTransform transform = painter->worldTransform();
    painter->setWorldTransform(QTransform());
    const QPointF shadowAt = QPointF(at) + offset_ * ratio - QPointF(margin, margin);
    painter->drawImage(shadowAt, shadow_);
    painter->drawPixmap(at, source);
    painter->setWorldTransform(transform);
}

QImage SteadyDropShadowEffect::makeShadow(const QPixmap& source, int margin) const {
    const QImage picture = source.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int width = picture.width() + 2 * margin;
    const int height = picture.height() + 2 * margin;
    std::vector<int> alpha(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
    for (int y = 0; y < picture.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(picture.constScanLine(y));
        for (int x = 0; x < picture.width(); ++x)
            alpha[static_cast<size_t>(y + margin) * width + static_cast<size_t>(x + margin)] =
                qAlpha(row[x]);
    }
    // Three box blurs come close to a Gaussian; boxes as wide as the blur radius give about
    // the spread of Qt's own shadow of that radius.
    const int half =
        std::max(1, static_cast<int>(std::lround(blurRadius_ * source.devicePixelRatio() / 2)));
    for (int pass = 0; pass < 3; ++pass) {
        boxPass(alpha, width, height, 1, width, half);
        boxPass(alpha, height, width, width, 1, half);
    }
    QImage shadow(width, height, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(shadow.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int a = alpha[static_cast<size_t>(y) * width + static_cast<size_t>(x)] *
                          color_.alpha() / 255;
            row[x] =
                qRgba(color_.red() * a / 255, color_.green() * a / 255, color_.blue() * a / 255, a);
        }
    }
    shadow.setDevicePixelRatio(1);
    return shadow;
}

}  // namespace zimlo::recording
