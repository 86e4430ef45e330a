#include "compose/PiPVideoCompositor.h"

#include <cmath>
#include <condition_variable>

namespace zimlo::compose {

using media::PixelBuffer;
using media::PixelFormat;

// ---- RenderContext -------------------------------------------------------------------------

struct RenderContext::Pool {
    std::mutex mutex;
    std::vector<std::unique_ptr<PixelBuffer>> free;
    int outstanding = 0;
    int maximum = 0;
};

std::shared_ptr<RenderContext> RenderContext::make(int width, int height, int maximumBuffers) {
    return std::shared_ptr<RenderContext>(new RenderContext(width, height, maximumBuffers));
}

RenderContext::RenderContext(int width, int height, int maximumBuffers)
    : width_(width), height_(height), pool_(std::make_shared<Pool>()) {
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
            buffer = std::make_unique<PixelBuffer>(width_, height_, PixelFormat::BGRA);
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
    media::MediaTime compositionTime, std::shared_ptr<const VideoCompositionInstruction> instruction,
    std::shared_ptr<RenderContext> renderContext,
    std::map<TrackID, std::shared_ptr<const PixelBuffer>> sourceFrames, Completion completion)
    : compositionTime_(compositionTime),
      instruction_(std::move(instruction)),
      renderContext_(std::move(renderContext)),
      sourceFrames_(std::move(sourceFrames)),
      completion_(std::move(completion)) {}

std::shared_ptr<const PixelBuffer> VideoCompositionRequest::sourceFrameByTrackID(TrackID track) const {
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

void PiPVideoCompositor::renderContextChanged(std::shared_ptr<RenderContext>) {
    renderQueue_.async([this] {
        subtitles_.clearCache();
        renderedFrameCount_ = 0;
        caches_.clear();
    });
}

void PiPVideoCompositor::startVideoCompositionRequest(std::shared_ptr<VideoCompositionRequest> request) {
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
    std::shared_ptr<PixelBuffer> output = instruction && context ? context->newPixelBuffer() : nullptr;
    if (!instruction || !output) {
        request->finishWithError(kRenderRequestFailed);
        return;
    }
    render(*request, *instruction, *output);
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
    if (transform && transform->orientation && *transform->orientation != ImageOrientation::up)
        return orientedCopy(*frame, *transform->orientation);
    return frame;
}

void PiPVideoCompositor::drawFilled(const PixelBuffer& picture, Scaler& scaler, PixelBuffer& canvas,
                                    double x, double y, double width, double height) {
    auto placement = fillPlacement(picture.width(), picture.height(), x, y, width, height);
    scaler.scale(picture, placement.source, canvas, placement.target);
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
    if (width < 1 || height < 1 || width > 4 * std::max(W, H) || height > 4 * std::max(W, H)) return;

    auto& window = caches_.window;
    if (!window || window->width() != width || window->height() != height)
        window = std::make_shared<PixelBuffer>(width, height, PixelFormat::BGRA);
    auto placement = fillPlacement(picture.width(), picture.height(), 0, 0, width, height);
    if (!caches_.cameraScaler.scale(picture, placement.source, *window, placement.target)) return;

    const double radius = roundedCornerRadius(w, h, instruction.pipCornerRatio);
    if (caches_.maskWidth != width || caches_.maskHeight != height || caches_.maskRadius != radius) {
        caches_.mask = roundedRectMask(width, height, radius);
        caches_.maskWidth = width;
        caches_.maskHeight = height;
        caches_.maskRadius = radius;
    }
    blendThroughMask(canvas, *window, caches_.mask, left, top);
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
    blendPremultipliedRGBA(canvas, image->image, x, y);
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
        if (main) drawFilled(*main, caches_.mainScaler, canvas, 0, mainY, W, mainHeight);
        if (camera) drawFilled(*camera, caches_.cameraScaler, canvas, 0, cameraY, W, cameraHeight);
    } else {
        // The black background only shows where the main picture leaves room (letterbox bands,
        // no picture); clearing a canvas the picture covers anyway would be wasted work.
        Placement placement;
        if (main)
            placement = instruction.fitsMainContent ? fitPlacement(main->width(), main->height(), 0, 0, W, H)
                                                    : fillPlacement(main->width(), main->height(), 0, 0, W, H);
        const bool covers = placement.target == IntRect{0, 0, canvas.width(), canvas.height()};
        if (!covers) fillOpaqueBlack(canvas);
        if (main && !caches_.mainScaler.scale(*main, placement.source, canvas, placement.target) && covers)
            fillOpaqueBlack(canvas);
        if (camera) {
            if (auto keyframe = samplePiPKeyframe(instruction, t))
                drawCameraWindow(*camera, instruction, *keyframe, canvas);
        }
    }
    drawSubtitle(instruction, t, canvas);
}

}  // namespace zimlo::compose
