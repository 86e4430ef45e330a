#include "compose/PiPVideoCompositor.h"

#include <cmath>
#include <condition_variable>

namespace zimlo::compose {

using media::PixelBuffer;
using media::PixelFormat;

// ---- RenderContext -------------------------------------------------------------------------

struct RenderContext::Pool {
    std::mutex mutex;  // guards: free, outstanding
    std::vector<std::unique_ptr<PixelBuffer>> free;
    int outstanding = 0;
    int maximum = 0;
};

std::shared_ptr<RenderContext> RenderContext::make(int width, int height, int maximumBuffers,
                                                   PixelFormat format) {
    return std::shared_ptr<RenderContext>(new RenderContext(width, height, maximumBuffers, format));
}

RenderContext::RenderContext(int width, int height, int maximumBuffers, PixelFormat format)
    : width_(width), height_(height), format_(format), pool_(std::make_shared<Pool>()) {
    pool_->maximum = std::max(1, maximumBuffers);
}

std::shared_ptr<PixelBuffer> RenderContext::newPixelBuffer() {
    if (width_ <= 0 || height_ <= 0) return nullptr;
    std::unique_ptr<PixelBuffer> buffer;
    {
        std::lock_guard lock(pool_->mutex);
        if (pool_->outstanding >= pool_->maximum) return nullptr;
        ++pool_->outstanding;
        if (!pool_->free.empty()) {
            buffer = std::move(pool_->free.back());
            pool_->free.pop_back();
        }
    }
    if (!buffer) {
        try {
            buffer = std::make_unique<PixelBuffer>(width_, height_, format_);
        } catch (const std::bad_alloc&) {
            std::lock_guard lock(pool_->mutex);
            --pool_->outstanding;
            return nullptr;
        }
    }
    // The pool outlives the context while buffers are out; returned buffers are reused.
    return std::shared_ptr<PixelBuffer>(buffer.release(), [pool = pool_](PixelBuffer* returned) {
        std::lock_guard lock(pool->mutex);
        --pool->outstanding;
        pool->free.emplace_back(returned);
    });
}

int RenderContext::outstandingBuffers() const {
    std::lock_guard lock(pool_->mutex);
    return pool_->outstanding;
}

// ---- VideoCompositionRequest ---------------------------------------------------------------

VideoCompositionRequest::VideoCompositionRequest(
    media::MediaTime compositionTime,
    std::shared_ptr<const VideoCompositionInstruction> instruction,
    std::shared_ptr<RenderContext> renderContext,
    std::map<TrackID, std::shared_ptr<const PixelBuffer>> sourceFrames, Completion completion)
    : compositionTime_(compositionTime),
      instruction_(std::move(instruction)),
      renderContext_(std::move(renderContext)),
      sourceFrames_(std::move(sourceFrames)),
      completion_(std::move(completion)) {}

std::shared_ptr<const PixelBuffer> VideoCompositionRequest::sourceFrameByTrackID(
    TrackID track) const {
    auto found = sourceFrames_.find(track);
    return found == sourceFrames_.end() ? nullptr : found->second;
}

void VideoCompositionRequest::finishWithComposedVideoFrame(std::shared_ptr<PixelBuffer> frame) {
    finish({std::move(frame), std::nullopt});
}

void VideoCompositionRequest::finishWithError(CompositionRequestError error) {
    finish({nullptr, std::move(error)});
}

void VideoCompositionRequest::finish(Result result) {
    if (finished_.exchange(true)) return;
    if (completion_) completion_(std::move(result));
}

// ---- PiPVideoCompositor --------------------------------------------------------------------

void PiPVideoCompositor::Caches::clear() {
    mainScaler.reset();
    cameraScaler.reset();
    outputScaler.reset();
    canvas.reset();
    mainLayer.reset();
    window.reset();
    mask.clear();
    maskWidth = maskHeight = 0;
    maskRadius = -1;
}

PiPVideoCompositor::PiPVideoCompositor() : PiPVideoCompositor(defaultEmphasisFunction()) {}

PiPVideoCompositor::PiPVideoCompositor(EmphasisFunction emphasis)
    : subtitles_(std::move(emphasis)), renderQueue_(".compositor.render") {}

PiPVideoCompositor::~PiPVideoCompositor() = default;

std::vector<PixelFormat> PiPVideoCompositor::sourcePixelFormats() {
    return {PixelFormat::NV12FullRange, PixelFormat::NV12VideoRange, PixelFormat::BGRA};
}

void PiPVideoCompositor::renderContextChanged(const std::shared_ptr<RenderContext>&) {
    renderQueue_.async([this] {
        subtitles_.clearCache();
        subtitleLayer_.reset();
        renderedFrameCount_ = 0;
        caches_.clear();
    });
}

void PiPVideoCompositor::startVideoCompositionRequest(
    std::shared_ptr<VideoCompositionRequest> request) {
    renderQueue_.async([this, request = std::move(request)] { handle(request); });
}

int PiPVideoCompositor::renderedFrameCount() {
    int count = 0;
    renderQueue_.sync([&] { count = renderedFrameCount_; });
    return count;
}

std::size_t PiPVideoCompositor::subtitleCacheSize() {
    std::size_t size = 0;
    renderQueue_.sync([&] { size = subtitles_.cacheSize(); });
    return size;
}

int PiPVideoCompositor::cacheClearCount() {
    int count = 0;
    renderQueue_.sync([&] { count = cacheClearCount_; });
    return count;
}

void PiPVideoCompositor::handle(const std::shared_ptr<VideoCompositionRequest>& request) {
    const auto* instruction =
        dynamic_cast<const PiPCompositionInstruction*>(request->videoCompositionInstruction());
    RenderContext* context = request->renderContext();
    std::shared_ptr<PixelBuffer> output =
        instruction && context ? context->newPixelBuffer() : nullptr;
    if (!instruction || !output) {
        request->finishWithError(kRenderRequestFailed);
        return;
    }
    if (output->format() == PixelFormat::NV12VideoRange) {
        render(*request, *instruction, *output);
    } else {
        auto& canvas = caches_.canvas;
        if (!canvas || canvas->width() != output->width() || canvas->height() != output->height())
            canvas = std::make_unique<PixelBuffer>(output->width(), output->height(),
                                                   PixelFormat::NV12VideoRange);
        render(*request, *instruction, *canvas);
        const PixelRect whole{0, 0, output->width(), output->height()};
        if (!caches_.outputScaler.scale(*canvas, whole, *output, whole)) fillOpaqueBlack(*output);
    }
    ++renderedFrameCount_;
    if (renderedFrameCount_ % 8 == 0) {
        caches_.clear();
        ++cacheClearCount_;
    }
    request->finishWithComposedVideoFrame(std::move(output));
}

std::shared_ptr<const PixelBuffer> PiPVideoCompositor::sourcePicture(
    const VideoCompositionRequest& request, TrackID track,
    const std::optional<VideoTrackTransform>& transform) {
    auto frame = request.sourceFrameByTrackID(track);
    if (!frame || frame->width() <= 0 || frame->height() <= 0) return nullptr;
    const bool turned =
        transform && transform->orientation && *transform->orientation != ImageOrientation::up;
    // Full-range NV12 is drawn by way of RGB.
    if (turned || frame->format() == PixelFormat::NV12FullRange)
        return orientedCopy(*frame, turned ? *transform->orientation : ImageOrientation::up);
    return frame;
}

bool PiPVideoCompositor::drawPicture(const PixelBuffer& picture, const Placement& placement,
                                     Scaler& scaler, std::unique_ptr<PixelBuffer>& layer,
                                     PixelBuffer& canvas) {
    const PixelRect& from = placement.source;
    const PixelRect& to = placement.target;
    if (to.width <= 0 || to.height <= 0) return false;
    // A picture already in the canvas's format and size is copied as it is.
    if (picture.format() == PixelFormat::NV12VideoRange && from.width == to.width &&
        from.height == to.height && from.x % 2 == 0 && from.y % 2 == 0 && from.x >= 0 &&
        from.y >= 0 && from.x + from.width <= picture.width() &&
        from.y + from.height <= picture.height()) {
        drawNV12(canvas, picture, from, to.x, to.y);
        return true;
    }
    if (!layer || layer->width() != to.width || layer->height() != to.height)
        layer = std::make_unique<PixelBuffer>(to.width, to.height, PixelFormat::NV12VideoRange);
    const PixelRect whole{0, 0, to.width, to.height};
    if (!scaler.scale(picture, from, *layer, whole)) return false;
    drawNV12(canvas, *layer, whole, to.x, to.y);
    return true;
}

void PiPVideoCompositor::drawFilled(const PixelBuffer& picture, Scaler& scaler,
                                    std::unique_ptr<PixelBuffer>& layer, PixelBuffer& canvas,
                                    double x, double y, double width, double height) {
    drawPicture(picture, fillPlacement(picture.width(), picture.height(), x, y, width, height),
                scaler, layer, canvas);
}

void PiPVideoCompositor::drawCameraWindow(const PixelBuffer& picture,
                                          const PiPCompositionInstruction& instruction,
                                          const PiPKeyframe& keyframe, PixelBuffer& canvas) {
    const double W = instruction.canvas.width;
    const double H = instruction.canvas.height;
    const double w = W * keyframe.size.width;
    const double h = instruction.pipAspect == AspectRatio::default_
                         ? H * keyframe.size.height
                         : w / ratio(instruction.pipAspect);
    const int left = static_cast<int>(std::lround(W * keyframe.center.x - w / 2));
    const int top = static_cast<int>(std::lround(H * keyframe.center.y - h / 2));
    const int width = static_cast<int>(std::lround(W * keyframe.center.x + w / 2)) - left;
    const int height = static_cast<int>(std::lround(H * keyframe.center.y + h / 2)) - top;
    // A window far larger than the canvas is a damaged keyframe, not something to allocate for.
    if (width < 1 || height < 1 || width > 4 * std::max(W, H) || height > 4 * std::max(W, H))
        return;

    auto& window = caches_.window;
    if (!window || window->width() != width || window->height() != height)
        window = std::make_unique<PixelBuffer>(width, height, PixelFormat::NV12VideoRange);
    auto placement = fillPlacement(picture.width(), picture.height(), 0, 0, width, height);
    if (!caches_.cameraScaler.scale(picture, placement.source, *window, placement.target)) return;

    const double radius = roundedCornerRadius(w, h, instruction.pipCornerRatio);
    if (caches_.maskWidth != width || caches_.maskHeight != height ||
        caches_.maskRadius != radius) {
        caches_.mask = roundedRectMask(width, height, radius);
        caches_.maskWidth = width;
        caches_.maskHeight = height;
        caches_.maskRadius = radius;
    }
    drawNV12(canvas, *window, {0, 0, width, height}, left, top, caches_.mask.data());
}

void PiPVideoCompositor::drawSubtitle(const PiPCompositionInstruction& instruction, double t,
                                      PixelBuffer& canvas) {
    auto segment = activeSubtitle(instruction, t);
    if (!segment) return;
    const auto& layout = instruction.subtitleLayout;
    auto image = subtitles_.subtitleImage(layout.center.x, layout.center.y, layout.maxWidth,
                                          layout.fontScale, instruction.canvas.width,
                                          instruction.canvas.height, segment->text,
                                          instruction.emphasizesSubtitleKeywords);
    if (!image) return;
    // The box's bottom edge is where the placement says; a taller image reaches above it.
    const auto& place = image->placement;
    const int x = static_cast<int>(std::lround(place.x));
    const int y = static_cast<int>(std::lround(place.y + place.height - image->image.height()));
    // Turned into YUV once per image and place; the frames that show it reuse that.
    const int64_t key = image->image.cacheKey();
    if (!subtitleLayer_ || subtitleLayerKey_ != key || subtitleLayer_->x != x ||
        subtitleLayer_->y != y) {
        subtitleLayer_ = makeYUVAImage(image->image, x, y);
        subtitleLayerKey_ = key;
    }
    drawYUVA(canvas, *subtitleLayer_);
}

void PiPVideoCompositor::render(const VideoCompositionRequest& request,
                                const PiPCompositionInstruction& instruction, PixelBuffer& canvas) {
    const double W = instruction.canvas.width;
    const double H = instruction.canvas.height;
    const double t = request.compositionTime().seconds();

    auto main = sourcePicture(request, instruction.mainTrackID, instruction.mainTransform);
    std::shared_ptr<const PixelBuffer> camera;
    if (instruction.pipTrackID)
        camera = sourcePicture(request, *instruction.pipTrackID, instruction.pipTransform);

    if (instruction.isSplitScreenEnabled) {
        fillOpaqueBlack(canvas);
        const auto [order, topRatio] = sampleSplitScreen(instruction, t);
        const double top = H * topRatio;
        const bool cameraOnTop = order == CameraSplitOrder::frontTop;
        const double cameraY = cameraOnTop ? 0 : top;
        const double cameraHeight = cameraOnTop ? top : H - top;
        const double mainY = cameraOnTop ? top : 0;
        const double mainHeight = cameraOnTop ? H - top : top;
        if (main)
            drawFilled(*main, caches_.mainScaler, caches_.mainLayer, canvas, 0, mainY, W,
                       mainHeight);
        if (camera)
            drawFilled(*camera, caches_.cameraScaler, caches_.window, canvas, 0, cameraY, W,
                       cameraHeight);
    } else {
        // The black background only shows where the main picture leaves room (letterbox bands,
        // no picture); clearing a canvas the picture covers anyway would be wasted work.
        Placement placement;
        if (main)
            placement = instruction.fitsMainContent
                            ? fitPlacement(main->width(), main->height(), 0, 0, W, H)
                            : fillPlacement(main->width(), main->height(), 0, 0, W, H);
        const bool covers = placement.target == PixelRect{0, 0, canvas.width(), canvas.height()};
        if (!covers) fillOpaqueBlack(canvas);
        if (main && !drawPicture(*main, placement, caches_.mainScaler, caches_.mainLayer, canvas) &&
            covers)
            fillOpaqueBlack(canvas);
        if (camera) {
            if (auto keyframe = samplePiPKeyframe(instruction, t))
                drawCameraWindow(*camera, instruction, *keyframe, canvas);
        }
    }
    drawSubtitle(instruction, t, canvas);
}

}  // namespace zimlo::compose
