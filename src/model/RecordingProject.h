#pragma once

#include <filesystem>
#include <iosfwd>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/AspectSettings.h"
#include "model/Date.h"
#include "model/Geometry.h"
#include "model/JsonCoding.h"
#include "model/Uuid.h"
#include "platform/runtime/Result.h"

namespace zimlo {

// Times are seconds (double) from the start of the recording. Positions and sizes inside the
// picture are fractions of its width and height, y from the top. Movie files are held as absolute
// paths; the document stores them as "file:///" URLs.

// Where a project's movie is: a file on this machine (an absolute path, or a path relative to the
// document's folder), or a URL of another scheme or host, as a document may name one. Such a URL
// is kept and written back as it was read, but it names nothing that can be read, copied or
// deleted here: only file() gives a path, and it gives none for it.
class MovieURL {
  public:
    MovieURL(std::filesystem::path file) : file_(std::move(file)) {}  // every path is local
    // `url` as read from a document: parsed, and not a file on this machine.
    static MovieURL remote(std::string url);

    bool isFile() const { return remote_.empty(); }
    // The file; nothing for a remote URL.
    std::optional<std::filesystem::path> file() const;
    // The URL as read; empty for a file.
    const std::string& remoteURL() const { return remote_; }
    // The path or the URL, for logs and listings.
    std::string displayString() const;

    friend bool operator==(const MovieURL&, const MovieURL&) = default;
    friend std::ostream& operator<<(std::ostream& out, const MovieURL& url);

  private:
    MovieURL() = default;
    std::filesystem::path file_;
    std::string remote_;
};

// The file of an optional movie; nothing when there is no movie or it is not a local file.
std::optional<std::filesystem::path> localFile(const std::optional<MovieURL>& url);

// One geometry of the floating camera window, in effect from `time` until the next keyframe.
struct PiPKeyframe {
    double time = 0;
    Point center;
    Size size;
    double cornerRadius = 0;  // on-screen radius in points; rendering uses PiPStyle::cornerRatio

    friend bool operator==(const PiPKeyframe&, const PiPKeyframe&) = default;
};

// One split-screen state, in effect from `time`. The constructor clamps `topRatio` into
// [0.28, 0.72].
struct SplitScreenKeyframe {
    double time = 0;
    CameraSplitOrder order = CameraSplitOrder::frontTop;
    double topRatio = 0.5;

    SplitScreenKeyframe() = default;
    SplitScreenKeyframe(double time, CameraSplitOrder order, double topRatio);

    friend bool operator==(const SplitScreenKeyframe&, const SplitScreenKeyframe&) = default;
};

// One subtitle, shown from `startTime` to `endTime`.
struct SubtitleSegment {
    Uuid id;
    double startTime = 0;
    double endTime = 0;
    std::string text;

    friend bool operator==(const SubtitleSegment&, const SubtitleSegment&) = default;
};

// Placement of the subtitle block; not clamped here (the renderer clamps). The default is the
// layout a document without "subtitleLayout" reads as.
struct SubtitleLayout {
    Point center{0.5, 0.82};
    double maxWidth = 0.86;
    double fontScale = 1.0;

    friend bool operator==(const SubtitleLayout&, const SubtitleLayout&) = default;
};

enum class RecordingSourceKind {
    camera,  // "camera"
    screen,  // "screen"
};

std::string_view rawValue(RecordingSourceKind kind);
std::optional<RecordingSourceKind> recordingSourceKindFromRaw(std::string_view raw);

// Everything known about one finished recording. An aggregate: construct it from all fifteen
// fields in declaration order (stored as given), or default-construct and assign.
struct RecordingProject {
    Uuid id;
    Date createdAt;
    // The movies: absolute paths, paths relative to the document's folder as a document may
    // name them, or URLs that name no file here.
    std::optional<MovieURL> mainVideo;  // the main movie
    std::optional<MovieURL> pipVideo;   // the camera movie
    double duration = 0;
    std::vector<PiPKeyframe> pipTrack;
    std::vector<SplitScreenKeyframe> splitScreenTrack;
    std::vector<SubtitleSegment> subtitleTrack;
    SubtitleLayout subtitleLayout;
    bool emphasizesSubtitleKeywords = false;
    bool isDraft = false;
    AspectSettings aspect;
    RecordingSourceKind sourceKind = RecordingSourceKind::screen;
    std::optional<Size> captureViewportSize;
    std::optional<std::string> sourceAssetIdentifier;
    // What the user named the recording; none until renamed (the gallery shows its date then).
    // Kept under its own key, which readers that do not know it pass over.
    std::optional<std::string> title;

    // Whether the recording must be composed (camera window, split screen, subtitles or a fixed
    // aspect) rather than kept as recorded.
    bool needsComposition() const;

    // The compact JSON document, or EncodingError naming a number that is not finite or a text
    // that is not UTF-8.
    Result<std::string, EncodingError> toJSON() const;
    // Decodes a whole document; throws DecodingError naming the offending key.
    static RecordingProject fromJSON(std::string_view text);

    friend bool operator==(const RecordingProject&, const RecordingProject&) = default;
};

nlohmann::ordered_json toJSON(const PiPKeyframe& keyframe);
nlohmann::ordered_json toJSON(const SplitScreenKeyframe& keyframe);
nlohmann::ordered_json toJSON(const SubtitleSegment& segment);
nlohmann::ordered_json toJSON(const SubtitleLayout& layout);
nlohmann::ordered_json toJSON(const RecordingProject& project);
RecordingProject recordingProjectFromJSON(const nlohmann::ordered_json& json);

// One segment as a compact JSON object on its own (a line of a recording's journal), or
// EncodingError on a time that is not finite or a text that is not UTF-8.
Result<std::string, EncodingError> subtitleSegmentText(const SubtitleSegment& segment);
// The segment such a text holds; throws DecodingError as fromJSON does.
SubtitleSegment subtitleSegmentFromText(std::string_view text);

// "file:///" URL of a path (a relative one taken from the working folder), percent-escaping
// every byte outside the URL path set (spaces, non-ASCII).
std::string fileURLString(const std::filesystem::path& absolutePath);
// The absolute path a "file:" URL names (host empty or "localhost"); nothing for a text that is
// not such a URL or holds a malformed escape.
std::optional<std::filesystem::path> pathFromFileURLString(std::string_view url);

}  // namespace zimlo
