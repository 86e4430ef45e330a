#include "compose/SubtitleRenderer.h"

#include <QCoreApplication>
#include <QFont>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QRawFont>
#include <QTextLayout>
#include <algorithm>
#include <cmath>

#include "platform/log/Log.h"
#include "subtitles/SubtitleEmphasisDetector.h"

namespace zimlo::compose {
namespace {

// Colours, premultiplied where it matters.
const QColor kTextFill(255, 255, 255);
const QColor kOutline(0, 0, 0);
const QColor kKeywordFill = QColor::fromRgbF(1.0f, 0.82f, 0.08f, 1.0f);
constexpr double kShadowAlpha = 0.9;
constexpr double kShadowOffsetUp = 2;     // pixels, towards the top of the picture
constexpr double kShadowBlurRadius = 6;   // read as a Gaussian of half that deviation
constexpr double kStrokeFraction = 0.05;  // outline width as a fraction of the font size
constexpr double kKeywordBaselineDrop = 1.5;
constexpr double kKeywordSizeIncrease = 5;

// The two face names the layout asks for, mapped onto the installed Noto CJK faces of the
// nearest weight (the package ships Regular and Bold). The CJK faces carry Latin glyphs too;
// the later families only serve glyphs the first one lacks.
QFont namedFont(const QString& name, double size) {
    QFont font(QStringList{QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Sans"),
                           QStringLiteral("DejaVu Sans")});
    font.setWeight(name == QLatin1String("HelveticaNeue-Medium") ? QFont::Medium : QFont::Bold);
    font.setPointSizeF(size);  // the devices below run at 72 dpi, so points are pixels
    font.setStyleStrategy(QFont::PreferAntialias);
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

QFont baseFont(bool emphasize, double size) {
    return namedFont(
        emphasize ? QStringLiteral("HelveticaNeue-Medium") : QStringLiteral("HelveticaNeue-Bold"),
        size);
}

void setPointsArePixels(QImage& image) {
    int dotsPerMeter = static_cast<int>(std::lround(72.0 / 0.0254));
    image.setDotsPerMeterX(dotsPerMeter);
    image.setDotsPerMeterY(dotsPerMeter);
}

QImage& measuringDevice() {
    thread_local QImage device = [] {
        QImage image(1, 1, QImage::Format_RGBA8888_Premultiplied);
        setPointsArePixels(image);
        return image;
    }();
    return device;
}

// A text's line breaks in one form: "\r\n", "\r", NEL and the paragraph separator become "\n".
// Breaks at the end start no line of their own (Qt's layout would add an empty one). Key words
// are found on this text, and layoutString() keeps its UTF-16 positions.
std::string withPlainLineBreaks(const std::string& text) {
    std::string plain;
    plain.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            plain += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (text.compare(i, 2, "\xC2\x85") == 0) {  // U+0085
            plain += '\n';
            ++i;
        } else if (text.compare(i, 3, "\xE2\x80\xA9") == 0) {  // U+2029
            plain += '\n';
            i += 2;
        } else {
            plain += text[i];
        }
    }
    while (!plain.empty() && plain.back() == '\n') plain.pop_back();
    return plain;
}

// The text as the layout takes it: Qt's layout ignores "\n" (the words either side would run
// together) and breaks lines at the line separator, one code unit for one.
QString layoutString(const std::string& plainText) {
    QString text = QString::fromStdString(plainText);
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    return text;
}

std::vector<Utf16Range> validRanges(std::vector<Utf16Range> ranges, int textLength) {
    std::vector<Utf16Range> valid;
    std::sort(ranges.begin(), ranges.end(),
              [](const Utf16Range& a, const Utf16Range& b) { return a.location < b.location; });
    int end = 0;
    for (const auto& range : ranges) {
        if (range.length <= 0 || range.location < end || range.location + range.length > textLength)
            continue;
        valid.push_back(range);
        end = range.location + range.length;
    }
    return valid;
}

// The styled text laid out at a width: base font and centred word-wrapped paragraphs, key words
// in the larger key-word font.
std::unique_ptr<QTextLayout> layoutText(const QString& text, bool emphasize, double fontSize,
                                        const std::vector<Utf16Range>& keywords, double width,
                                        QPaintDevice* device, double* height) {
    auto layout = std::make_unique<QTextLayout>(text, baseFont(emphasize, fontSize), device);
    QTextOption option(Qt::AlignHCenter);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout->setTextOption(option);
    QList<QTextLayout::FormatRange> formats;
    for (const auto& range : keywords) {
        QTextLayout::FormatRange format;
        format.start = range.location;
        format.length = range.length;
        format.format.setFont(
            namedFont(QStringLiteral("HelveticaNeue-Bold"), fontSize + kKeywordSizeIncrease));
        format.format.setForeground(kKeywordFill);
        formats.append(format);
    }
    layout->setFormats(formats);
    layout->setCacheEnabled(true);
    layout->beginLayout();
    double y = 0;
    for (;;) {
        QTextLine line = layout->createLine();
        if (!line.isValid()) break;
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout->endLayout();
    if (height) *height = y;
    return layout;
}

struct Piece {
    int start;
    int length;
    bool keyword;
};

// The text up to `limit` cut into plain and key-word pieces.
std::vector<Piece> pieces(const std::vector<Utf16Range>& keywords, int limit) {
    std::vector<Piece> result;
    int at = 0;
    for (const auto& range : keywords) {
        if (range.location >= limit) break;
        if (range.location > at) result.push_back({at, range.location - at, false});
        int end = std::min(range.location + range.length, limit);
        result.push_back({range.location, end - range.location, true});
        at = end;
    }
    if (at < limit) result.push_back({at, limit - at, false});
    return result;
}

// Characters of the lines that fit entirely into a frame of the given height.
int fittingTextLength(const QTextLayout& layout, double frameHeight) {
    int limit = 0;
    for (int i = 0; i < layout.lineCount(); ++i) {
        QTextLine line = layout.lineAt(i);
        if (line.y() + line.height() > frameHeight + 0.01) break;
        limit = line.textStart() + line.textLength();
    }
    return limit;
}

void strokePass(QPainter& painter, const QTextLayout& layout, const std::vector<Piece>& parts,
                QPointF origin) {
    for (const auto& part : parts) {
        QPointF offset = origin + QPointF(0, part.keyword ? kKeywordBaselineDrop : 0);
        for (const QGlyphRun& run : layout.glyphRuns(part.start, part.length)) {
            QRawFont font = run.rawFont();
            QPainterPath path;
            auto indexes = run.glyphIndexes();
            auto positions = run.positions();
            for (int i = 0; i < indexes.size(); ++i)
                path.addPath(font.pathForGlyph(indexes[i]).translated(positions[i] + offset));
            QPen pen(kOutline, kStrokeFraction * font.pixelSize(), Qt::SolidLine, Qt::RoundCap,
                     Qt::RoundJoin);
            painter.strokePath(path, pen);
        }
    }
}

void fillPass(QPainter& painter, const QTextLayout& layout, const std::vector<Piece>& parts,
              QPointF origin) {
    for (const auto& part : parts) {
        QPointF offset = origin + QPointF(0, part.keyword ? kKeywordBaselineDrop : 0);
        painter.setPen(part.keyword ? kKeywordFill : kTextFill);
        for (const QGlyphRun& run : layout.glyphRuns(part.start, part.length))
            painter.drawGlyphRun(offset, run);
    }
}

std::vector<float> gaussianKernel(double sigma) {
    int radius = static_cast<int>(std::ceil(sigma * 3));
    std::vector<float> kernel(2 * radius + 1);
    double sum = 0;
    for (int i = -radius; i <= radius; ++i) {
        kernel[i + radius] = static_cast<float>(std::exp(-(i * i) / (2 * sigma * sigma)));
        sum += kernel[i + radius];
    }
    for (auto& k : kernel) k = static_cast<float>(k / sum);
    return kernel;
}

// Puts a blurred, shifted black copy of the picture's coverage beneath it.
void addShadow(QImage& image) {
    const int w = image.width();
    const int h = image.height();
    std::vector<float> alpha(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        const uchar* row = image.constScanLine(y);
        for (int x = 0; x < w; ++x) alpha[static_cast<size_t>(y) * w + x] = row[4 * x + 3] / 255.0f;
    }
    auto kernel = gaussianKernel(kShadowBlurRadius / 2);
    const int r = static_cast<int>(kernel.size() / 2);
    std::vector<float> across(alpha.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float sum = 0;
            for (int k = -r; k <= r; ++k) {
                int sx = x + k;
                if (sx >= 0 && sx < w)
                    sum += kernel[k + r] * alpha[static_cast<size_t>(y) * w + sx];
            }
            across[static_cast<size_t>(y) * w + x] = sum;
        }
    const int shift = static_cast<int>(kShadowOffsetUp);
    for (int y = 0; y < h; ++y) {
        uchar* row = image.scanLine(y);
        for (int x = 0; x < w; ++x) {
            float sum = 0;
            for (int k = -r; k <= r; ++k) {
                int sy = y + shift + k;
                if (sy >= 0 && sy < h)
                    sum += kernel[k + r] * across[static_cast<size_t>(sy) * w + x];
            }
            float shadow = static_cast<float>(kShadowAlpha) * sum;
            float top = row[4 * x + 3] / 255.0f;
            float combined = top + shadow * (1 - top);
            row[4 * x + 3] =
                static_cast<uchar>(std::lround(std::clamp(combined, 0.0f, 1.0f) * 255));
        }
    }
}

double clampOr(double value, double low, double high) {
    if (std::isnan(value)) return low;
    return std::clamp(value, low, high);
}

}  // namespace

EmphasisFunction defaultEmphasisFunction() {
    return [](const std::string& text) {
        std::vector<Utf16Range> ranges;
        for (const auto& range : SubtitleEmphasisDetector::emphasisRanges(text))
            ranges.push_back({static_cast<int>(range.location), static_cast<int>(range.length)});
        return ranges;
    };
}

ClampedSubtitleLayout clampSubtitleLayout(double centerX, double centerY, double maxWidth,
                                          double fontScale) {
    return {clampOr(centerX, 0, 1), clampOr(centerY, 0, 1), clampOr(maxWidth, 0.45, 0.94),
            clampOr(fontScale, 0.65, 2.2)};
}

SubtitleRenderKey SubtitleRenderKey::make(const std::string& text, bool emphasize,
                                          double canvasWidth, double canvasHeight,
                                          const ClampedSubtitleLayout& layout) {
    auto scaled = [](double value) { return static_cast<int64_t>(std::llround(value * 10000)); };
    return {text,
            emphasize,
            static_cast<int64_t>(std::llround(canvasWidth)),
            static_cast<int64_t>(std::llround(canvasHeight)),
            scaled(layout.centerX),
            scaled(layout.centerY),
            scaled(layout.maxWidth),
            scaled(layout.fontScale)};
}

std::size_t SubtitleRenderKeyHash::operator()(const SubtitleRenderKey& key) const {
    std::size_t hash = std::hash<std::string>()(key.text);
    for (int64_t value : {static_cast<int64_t>(key.emphasizesKeywords), key.canvasWidth,
                          key.canvasHeight, key.centerX, key.centerY, key.maxWidth, key.fontScale})
        hash = hash * 1000003u ^ std::hash<int64_t>()(value);
    return hash;
}

CanvasRect placeSubtitle(double imageWidth, double imageHeight, double centerX, double centerY,
                         double canvasWidth, double canvasHeight) {
    const double m = std::max(canvasWidth * 0.04, 24.0);
    const double w = std::min(canvasWidth - 2 * m, imageWidth);
    const double h = std::min(canvasHeight - 2 * m, imageHeight);
    // Raise first, then lower: on a canvas too small for the box the far margin wins.
    double x = centerX * canvasWidth - w / 2;
    x = std::min(std::max(x, m), canvasWidth - m - w);
    double y = centerY * canvasHeight - h / 2;
    y = std::min(std::max(y, m), canvasHeight - m - h);
    return {x, y, w, h};
}

SubtitleRenderer::SubtitleRenderer(EmphasisFunction emphasis) : emphasis_(std::move(emphasis)) {}

std::vector<Utf16Range> SubtitleRenderer::keywordsOf(const std::string& text,
                                                     bool emphasize) const {
    if (!emphasize || !emphasis_) return {};
    return validRanges(emphasis_(text), static_cast<int>(QString::fromStdString(text).size()));
}

SubtitleMetrics SubtitleRenderer::measure(const std::string& text, bool emphasize,
                                          double canvasWidth, double canvasHeight,
                                          const ClampedSubtitleLayout& layout) const {
    const std::string plain = withPlainLineBreaks(text);
    return measure(plain, emphasize, keywordsOf(plain, emphasize), canvasWidth, canvasHeight,
                   layout);
}

SubtitleMetrics SubtitleRenderer::measure(const std::string& text, bool emphasize,
                                          const std::vector<Utf16Range>& keywords,
                                          double canvasWidth, double canvasHeight,
                                          const ClampedSubtitleLayout& layout) const {
    SubtitleMetrics metrics;
    metrics.margin = std::max(canvasWidth * 0.04, 24.0);
    metrics.boxWidth = std::min(canvasWidth - 2 * metrics.margin, canvasWidth * layout.maxWidth);
    metrics.fontSize =
        std::max(std::min(canvasWidth, canvasHeight) * 0.06 * layout.fontScale, 28.0);
    metrics.padding = std::max(metrics.fontSize * 0.2, 8.0);
    metrics.layoutWidth = std::max(metrics.boxWidth - 2 * metrics.padding, 1.0);

    QString qtext = layoutString(text);
    double suggested = 0;
    layoutText(qtext, emphasize, metrics.fontSize, keywords, metrics.layoutWidth,
               &measuringDevice(), &suggested);

    QFontMetricsF fontMetrics(baseFont(emphasize, metrics.fontSize), &measuringDevice());
    metrics.lineHeight =
        std::ceil(fontMetrics.ascent() + fontMetrics.descent() + fontMetrics.leading());
    metrics.textHeight = std::min(std::max(metrics.lineHeight, std::ceil(suggested)),
                                  std::ceil(3 * metrics.lineHeight));
    metrics.imageWidth = std::max(1, static_cast<int>(std::ceil(metrics.boxWidth)));
    metrics.imageHeight =
        std::max(1, static_cast<int>(std::ceil(2 * metrics.padding + metrics.textHeight)));
    return metrics;
}

std::shared_ptr<const SubtitleImage> SubtitleRenderer::subtitleImage(
    double centerX, double centerY, double maxWidth, double fontScale, double canvasWidth,
    double canvasHeight, const std::string& text, bool emphasize) {
    // Fonts need Qt's GUI application; without it nothing can be drawn (and nothing is cached).
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return nullptr;

    const auto layout = clampSubtitleLayout(centerX, centerY, maxWidth, fontScale);
    auto key = SubtitleRenderKey::make(text, emphasize, canvasWidth, canvasHeight, layout);
    for (auto kept = cache_.begin(); kept != cache_.end(); ++kept) {
        if (kept->first == key) {
            cache_.splice(cache_.begin(), cache_, kept);
            return kept->second;
        }
    }

    auto result = std::make_shared<SubtitleImage>();
    const std::string plain = withPlainLineBreaks(text);
    // The detector is asked once: its answer may change between calls (its word list loads in
    // the background), and measuring and drawing must agree on the key words.
    result->emphasis = keywordsOf(plain, emphasize);
    result->metrics =
        measure(plain, emphasize, result->emphasis, canvasWidth, canvasHeight, layout);
    const auto& m = result->metrics;
    if (int64_t{m.imageWidth} * m.imageHeight > kLargestImagePixels) {
        ZIMLO_LOG_WARN("subtitles")
            << "a subtitle of " << m.imageWidth << "x" << m.imageHeight << " pixels for a "
            << canvasWidth << "x" << canvasHeight << " canvas is not drawn";
        return nullptr;
    }

    QImage image(m.imageWidth, m.imageHeight, QImage::Format_RGBA8888_Premultiplied);
    if (image.isNull()) return nullptr;
    setPointsArePixels(image);
    image.fill(Qt::transparent);

    QString qtext = layoutString(plain);
    {
        QPainter painter(&image);
        if (!painter.isActive()) return nullptr;
        painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
        const QPointF origin(m.padding, m.padding);
        // Outline first, then the fill laid out afresh over it.
        auto outline = layoutText(qtext, emphasize, m.fontSize, result->emphasis, m.layoutWidth,
                                  &image, nullptr);
        auto outlineParts = pieces(result->emphasis, fittingTextLength(*outline, m.textHeight));
        strokePass(painter, *outline, outlineParts, origin);
        auto fill = layoutText(qtext, emphasize, m.fontSize, result->emphasis, m.layoutWidth,
                               &image, nullptr);
        fillPass(painter, *fill, pieces(result->emphasis, fittingTextLength(*fill, m.textHeight)),
                 origin);
    }
    addShadow(image);
    result->image = std::move(image);
    result->placement = placeSubtitle(m.imageWidth, m.imageHeight, layout.centerX, layout.centerY,
                                      canvasWidth, canvasHeight);
    cache_.emplace_front(std::move(key), result);
    if (cache_.size() > kCachedImages) cache_.pop_back();
    return result;
}

bool ensureTextEngine() {
    if (auto* app = QCoreApplication::instance())
        return qobject_cast<QGuiApplication*>(app) != nullptr;
    // No windows are ever shown by this process's exports, so no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "zimlo";
    static char* argv[] = {name, nullptr};
    static auto* app = new QGuiApplication(argc, argv);  // lives until the process ends
    return app != nullptr;
}

}  // namespace zimlo::compose
