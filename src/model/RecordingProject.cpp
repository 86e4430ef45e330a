#include "model/RecordingProject.h"

#include <cctype>
#include <cstring>
#include <nlohmann/json.hpp>
#include <ostream>

#include "model/JsonDetail.h"

namespace zimlo {

using json_detail::childPath;
using json_detail::indexPath;
using json_detail::Json;

std::string_view rawValue(RecordingSourceKind kind) {
    return kind == RecordingSourceKind::camera ? "camera" : "screen";
}

std::optional<RecordingSourceKind> recordingSourceKindFromRaw(std::string_view raw) {
    if (raw == "camera") return RecordingSourceKind::camera;
    if (raw == "screen") return RecordingSourceKind::screen;
    return std::nullopt;
}

SplitScreenKeyframe::SplitScreenKeyframe(double time, CameraSplitOrder order, double topRatio)
    : time(time), order(order), topRatio(AspectSettings::clampSplitTopRatio(topRatio)) {}

bool RecordingProject::needsComposition() const {
    return aspect.isPiPEnabled || aspect.isSplitScreenEnabled || !subtitleTrack.empty() ||
           aspect.main != AspectRatio::default_;
}

// --- movies ---

MovieURL MovieURL::remote(std::string url) {
    MovieURL movie;
    movie.remote_ = std::move(url);
    return movie;
}

std::optional<std::filesystem::path> MovieURL::file() const {
    if (!isFile()) return std::nullopt;
    return file_;
}

std::string MovieURL::displayString() const { return isFile() ? file_.string() : remote_; }

std::ostream& operator<<(std::ostream& out, const MovieURL& url) {
    return out << url.displayString();
}

std::optional<std::filesystem::path> localFile(const std::optional<MovieURL>& url) {
    return url ? url->file() : std::nullopt;
}

// --- file URLs ---

namespace {

// Characters a URL path keeps as they are; every other byte is percent-escaped.
bool keptInPath(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::strchr("!$&'()*+,-./:;=@_~", c) != nullptr && c != '\0';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decodes a URL's path; nothing for a malformed or NUL escape.
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded.push_back(text[i]);
            continue;
        }
        int high = i + 2 < text.size() ? hexDigit(text[i + 1]) : -1;
        int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
        if (high < 0 || low < 0 || (high == 0 && low == 0)) return std::nullopt;
        decoded.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return decoded;
}

// Percent-encodes a path, escaping every byte a URL path does not keep (and colons when asked).
std::string percentEncoded(std::string_view path, bool escapeColons) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string url;
    url.reserve(path.size() * 3);
    for (unsigned char c : path) {
        if (keptInPath(c) && !(escapeColons && c == ':')) {
            url.push_back(static_cast<char>(c));
        } else {
            url.push_back('%');
            url.push_back(kDigits[c >> 4]);
            url.push_back(kDigits[c & 0x0F]);
        }
    }
    return url;
}

// Characters that never appear unescaped in a URL.
bool forbiddenInURL(unsigned char c) {
    return c <= 0x20 || c == 0x7F || std::strchr("\"<>\\^`{|}", c) != nullptr;
}

}  // namespace

std::string fileURLString(const std::filesystem::path& path) {
    std::string native =
        path.is_absolute() ? path.string() : std::filesystem::absolute(path).string();
    return "file://" + percentEncoded(native, false);
}

std::optional<std::filesystem::path> pathFromFileURLString(std::string_view url) {
    constexpr std::string_view kScheme = "file:";
    if (url.size() < kScheme.size()) return std::nullopt;
    for (size_t i = 0; i < kScheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(url[i])) != kScheme[i]) return std::nullopt;
    for (unsigned char c : url)
        if (forbiddenInURL(c)) return std::nullopt;
    std::string_view rest = url.substr(kScheme.size());
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        size_t slash = rest.find('/');
        std::string_view host = rest.substr(0, slash);
        if (!host.empty() && host != "localhost") return std::nullopt;  // a remote file
        if (slash == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(slash);
    }
    rest = rest.substr(0, rest.find_first_of("?#"));
    if (!rest.starts_with('/')) return std::nullopt;
    auto decoded = percentDecoded(rest);
    if (!decoded) return std::nullopt;
    return std::filesystem::path(*decoded);
}

namespace {

bool isSchemeCharacter(char c, bool first) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    return !first && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.');
}

// A stored movie URL read as a URL parser reads it. An absolute "file:" URL names that file; a
// relative reference ("main.mov") names a path relative to the document's folder, kept relative;
// any other URL (another scheme, another host, no path) parses and is kept, naming no file here.
// Nothing when the text is not a URL at all.
std::optional<MovieURL> movieURLFromString(std::string_view text) {
    if (text.empty()) return std::nullopt;
    for (unsigned char c : text)
        if (forbiddenInURL(c)) return std::nullopt;
    if (!percentDecoded(text)) return std::nullopt;
    const MovieURL remote = MovieURL::remote(std::string(text));

    const size_t end = text.find_first_of(":/?#");
    bool hasScheme = end != std::string_view::npos && end > 0 && text[end] == ':';
    for (size_t i = 0; hasScheme && i < end; ++i) hasScheme = isSchemeCharacter(text[i], i == 0);
    if (hasScheme) {
        if (auto file = pathFromFileURLString(text)) return MovieURL(*file);
        return remote;
    }
    if (text.starts_with("//")) return remote;  // another host
    std::string_view path = text.substr(0, text.find_first_of("?#"));
    auto decoded = percentDecoded(path);
    if (!decoded || decoded->empty()) return remote;
    return MovieURL(std::filesystem::path(*decoded));
}

// An absolute path as a "file:" URL; a relative one as a relative reference (a colon escaped, so
// that its first segment never reads as a scheme).
std::string movieURLString(const MovieURL& movie) {
    if (!movie.isFile()) return movie.remoteURL();
    const std::filesystem::path path = *movie.file();
    if (path.is_absolute()) return fileURLString(path);
    return percentEncoded(path.string(), true);
}

}  // namespace

// --- encoding ---

Json toJSON(const PiPKeyframe& keyframe) {
    Json json = Json::object();
    json["time"] = keyframe.time;
    json["center"] = json_detail::pointArray(keyframe.center);
    json["size"] = json_detail::sizeArray(keyframe.size);
    json["cornerRadius"] = keyframe.cornerRadius;
    return json;
}

Json toJSON(const SplitScreenKeyframe& keyframe) {
    Json json = Json::object();
    json["time"] = keyframe.time;
    json["order"] = rawValue(keyframe.order);
    json["topRatio"] = keyframe.topRatio;
    return json;
}

Json toJSON(const SubtitleSegment& segment) {
    Json json = Json::object();
    json["id"] = segment.id.uuidString();
    json["startTime"] = segment.startTime;
    json["endTime"] = segment.endTime;
    json["text"] = segment.text;
    return json;
}

Json toJSON(const SubtitleLayout& layout) {
    Json json = Json::object();
    json["center"] = json_detail::pointArray(layout.center);
    json["maxWidth"] = layout.maxWidth;
    json["fontScale"] = layout.fontScale;
    return json;
}

namespace {
template <typename T>
Json arrayOf(const std::vector<T>& items) {
    Json array = Json::array();
    for (const T& item : items) array.push_back(toJSON(item));
    return array;
}
}  // namespace

Json toJSON(const RecordingProject& project) {
    Json json = Json::object();
    json["id"] = project.id.uuidString();
    json["createdAt"] = project.createdAt.secondsSinceReferenceDate;
    if (project.mainVideo) json["mainVideoURL"] = movieURLString(*project.mainVideo);
    if (project.pipVideo) json["pipVideoURL"] = movieURLString(*project.pipVideo);
    json["duration"] = project.duration;
    json["pipTrack"] = arrayOf(project.pipTrack);
    json["splitScreenTrack"] = arrayOf(project.splitScreenTrack);
    json["subtitleTrack"] = arrayOf(project.subtitleTrack);
    json["subtitleLayout"] = toJSON(project.subtitleLayout);
    json["emphasizesSubtitleKeywords"] = project.emphasizesSubtitleKeywords;
    json["isDraft"] = project.isDraft;
    json["aspect"] = toJSON(project.aspect);
    json["sourceKind"] = rawValue(project.sourceKind);
    if (project.captureViewportSize)
        json["captureViewportSize"] = json_detail::sizeArray(*project.captureViewportSize);
    if (project.sourceAssetIdentifier)
        json["sourceAssetIdentifier"] = *project.sourceAssetIdentifier;
    if (project.title) json["title"] = *project.title;
    return json;
}

Result<std::string, EncodingError> RecordingProject::toJSON() const {
    return json_detail::encodeDocument(zimlo::toJSON(*this));
}

// --- decoding ---

namespace {

using namespace json_detail;

PiPKeyframe pipKeyframeFromJSON(const Json& json, const std::string& path) {
    expectObject(json, path);
    PiPKeyframe keyframe;
    keyframe.time = readDouble(requireMember(json, "time", path), childPath(path, "time"));
    keyframe.center = readPoint(requireMember(json, "center", path), childPath(path, "center"));
    keyframe.size = readSize(requireMember(json, "size", path), childPath(path, "size"));
    keyframe.cornerRadius =
        readDouble(requireMember(json, "cornerRadius", path), childPath(path, "cornerRadius"));
    return keyframe;
}

SplitScreenKeyframe splitKeyframeFromJSON(const Json& json, const std::string& path) {
    expectObject(json, path);
    double time = readDouble(requireMember(json, "time", path), childPath(path, "time"));
    std::string raw = readString(requireMember(json, "order", path), childPath(path, "order"));
    auto order = cameraSplitOrderFromRaw(raw);
    if (!order)
        throw DecodingError(childPath(path, "order"), "unknown split order \"" + raw + "\"");
    double topRatio = 0.5;
    if (const Json* value = member(json, "topRatio"))
        topRatio = readDouble(*value, childPath(path, "topRatio"));
    return SplitScreenKeyframe(time, *order, topRatio);
}

SubtitleSegment segmentFromJSON(const Json& json, const std::string& path) {
    expectObject(json, path);
    SubtitleSegment segment;
    segment.id = readUuid(requireMember(json, "id", path), childPath(path, "id"));
    segment.startTime =
        readDouble(requireMember(json, "startTime", path), childPath(path, "startTime"));
    segment.endTime = readDouble(requireMember(json, "endTime", path), childPath(path, "endTime"));
    segment.text = readString(requireMember(json, "text", path), childPath(path, "text"));
    return segment;
}

SubtitleLayout layoutFromJSON(const Json& json, const std::string& path) {
    expectObject(json, path);
    SubtitleLayout layout;
    layout.center = readPoint(requireMember(json, "center", path), childPath(path, "center"));
    layout.maxWidth =
        readDouble(requireMember(json, "maxWidth", path), childPath(path, "maxWidth"));
    layout.fontScale =
        readDouble(requireMember(json, "fontScale", path), childPath(path, "fontScale"));
    return layout;
}

template <typename T, typename Decode>
std::vector<T> listFromJSON(const Json& json, const std::string& path, Decode decode) {
    expectArray(json, path);
    std::vector<T> items;
    items.reserve(json.size());
    for (size_t i = 0; i < json.size(); ++i) items.push_back(decode(json[i], indexPath(path, i)));
    return items;
}

MovieURL readMovieURL(const Json& json, const std::string& path) {
    std::string text = readString(json, path);
    auto movie = movieURLFromString(text);
    if (!movie) throw DecodingError(path, "not a URL \"" + text + "\"");
    return *movie;
}

}  // namespace

RecordingProject recordingProjectFromJSON(const Json& json) {
    expectObject(json, "");
    RecordingProject project;
    project.id = readUuid(requireMember(json, "id", ""), "id");
    project.createdAt = Date{readDouble(requireMember(json, "createdAt", ""), "createdAt")};
    if (const Json* value = member(json, "mainVideoURL"))
        project.mainVideo = readMovieURL(*value, "mainVideoURL");
    if (const Json* value = member(json, "pipVideoURL"))
        project.pipVideo = readMovieURL(*value, "pipVideoURL");
    project.duration = readDouble(requireMember(json, "duration", ""), "duration");
    project.pipTrack = listFromJSON<PiPKeyframe>(requireMember(json, "pipTrack", ""), "pipTrack",
                                                 pipKeyframeFromJSON);
    if (const Json* value = member(json, "splitScreenTrack"))
        project.splitScreenTrack =
            listFromJSON<SplitScreenKeyframe>(*value, "splitScreenTrack", splitKeyframeFromJSON);
    project.subtitleTrack = listFromJSON<SubtitleSegment>(requireMember(json, "subtitleTrack", ""),
                                                          "subtitleTrack", segmentFromJSON);
    if (const Json* value = member(json, "subtitleLayout"))
        project.subtitleLayout = layoutFromJSON(*value, "subtitleLayout");
    if (const Json* value = member(json, "emphasizesSubtitleKeywords"))
        project.emphasizesSubtitleKeywords = readBool(*value, "emphasizesSubtitleKeywords");
    project.isDraft = readBool(requireMember(json, "isDraft", ""), "isDraft");
    if (const Json* value = member(json, "aspect"))
        project.aspect = aspectSettingsFromJSON(*value, "aspect");
    if (const Json* value = member(json, "sourceKind")) {
        std::string raw = readString(*value, "sourceKind");
        auto kind = recordingSourceKindFromRaw(raw);
        if (!kind) throw DecodingError("sourceKind", "unknown source kind \"" + raw + "\"");
        project.sourceKind = *kind;
    } else {
        // Older documents carry no kind: anything camera-like reads as a camera recording.
        bool cameraLike = project.aspect.isSplitScreenEnabled ||
                          !project.splitScreenTrack.empty() || project.aspect.isPiPEnabled ||
                          project.pipVideo.has_value() || !project.pipTrack.empty();
        project.sourceKind = cameraLike ? RecordingSourceKind::camera : RecordingSourceKind::screen;
    }
    if (const Json* value = member(json, "captureViewportSize"))
        project.captureViewportSize = readSize(*value, "captureViewportSize");
    if (const Json* value = member(json, "sourceAssetIdentifier"))
        project.sourceAssetIdentifier = readString(*value, "sourceAssetIdentifier");
    if (const Json* value = member(json, "title")) project.title = readString(*value, "title");
    return project;
}

RecordingProject RecordingProject::fromJSON(std::string_view text) {
    return recordingProjectFromJSON(json_detail::parseDocument(text));
}

Result<std::string, EncodingError> subtitleSegmentText(const SubtitleSegment& segment) {
    return json_detail::encodeDocument(zimlo::toJSON(segment));
}

SubtitleSegment subtitleSegmentFromText(std::string_view text) {
    return segmentFromJSON(json_detail::parseDocument(text), "");
}

}  // namespace zimlo
