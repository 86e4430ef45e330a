#include "compose/RecordingRecovery.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "compose/VideoCompositor.h"
#include "platform/log/Log.h"
#include "platform/media/AssetReader.h"
#include "subtitles/SubtitleFiles.h"

extern "C" {
#include <libavutil/error.h>
}

namespace zimlo::compose {

namespace fs = std::filesystem;

namespace {

// N of a movie the capture source names "<prefix>N.mov" or "<prefix>N_k.mov" (a second recording
// in the same second), the second it began; nothing for any other name, the mix
// ("zimlo_screen_mixed_…") included.
std::optional<long long> recordedSecond(const std::string& name, std::string_view prefix) {
    if (!name.starts_with(prefix) || !name.ends_with(".mov")) return std::nullopt;
    std::string_view middle(name);
    middle = middle.substr(prefix.size(), middle.size() - prefix.size() - 4);
    auto digits = [](std::string_view text) {
        return !text.empty() && text.size() <= 18 &&
               std::all_of(text.begin(), text.end(),
                           [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
    };
    const size_t underscore = middle.find('_');
    const std::string_view second = middle.substr(0, underscore);
    if (!digits(second)) return std::nullopt;
    if (underscore != std::string_view::npos && !digits(middle.substr(underscore + 1)))
        return std::nullopt;
    return std::stoll(std::string(second));
}

struct Movie {
    fs::path path;
    long long second = 0;
};

// The folder's movie of `prefix`; the longest when a folder holds more than one.
std::optional<Movie> findMovie(const fs::path& folder, std::string_view prefix) {
    std::optional<Movie> found;
    uintmax_t largest = 0;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        auto second = recordedSecond(it->path().filename().string(), prefix);
        std::error_code sizeError;
        if (!second || !it->is_regular_file(sizeError)) continue;
        const uintmax_t size = it->file_size(sizeError);
        if (sizeError) continue;
        if (!found || size > largest) {
            found = Movie{it->path(), *second};
            largest = size;
        }
    }
    return found;
}

enum class Pictures { some, none, unreadable };

// Whether a movie a crash cut short holds a picture that decodes. A file FFmpeg does not take
// for a movie at all was cut before its first picture; one that cannot be read (permissions, a
// failing disk) is something else and is kept.
Pictures picturesIn(const fs::path& movie) {
    std::error_code error;
    if (fs::file_size(movie, error) == 0 && !error) return Pictures::none;
    auto asset = media::MovieAsset::open(movie);
    if (!asset) {
        const auto& failure = asset.error();
        if (failure.kind == media::MediaError::Kind::library && failure.code == AVERROR_INVALIDDATA)
            return Pictures::none;
        return Pictures::unreadable;
    }
    auto video = (*asset)->tracks(media::MediaType::video);
    if (video.empty()) return Pictures::none;
    auto reader = media::VideoFrameReader::open(**asset, video.front().trackID, std::nullopt,
                                                media::DecodedPictureFormat::bgra, 1);
    if (!reader) return Pictures::unreadable;
    return (*reader)->next() ? Pictures::some : Pictures::none;
}

// Seconds the movie holds up to the end of its last picture that can be read. What the container
// states is not taken: the index of a fragment a kill cut short names pictures that are gone.
double measuredSeconds(const fs::path& movie) {
    auto asset = media::MovieAsset::open(movie);
    if (!asset) return 0;
    auto video = (*asset)->tracks(media::MediaType::video);
    if (video.empty()) return 0;
    auto packets = media::TrackPacketReader::open(**asset, video.front().trackID);
    if (!packets) return 0;
    double end = 0;
    while (auto packet = (*packets)->next()) {
        const double time = packet->presentationTime.seconds();
        const double length = packet->duration.valid ? packet->duration.seconds() : 0;
        if (std::isfinite(time + length)) end = std::max(end, time + length);
    }
    return end;
}

std::vector<SubtitleSegment> journaledSubtitles(const RecordingFolder& folder) {
    std::vector<SubtitleSegment> segments;
    for (const std::string& record : folder.journal()) {
        try {
            segments.push_back(subtitleSegmentFromText(record));
        } catch (const DecodingError& error) {
            ZIMLO_LOG_WARN("recovery")
                << "left out a subtitle of " << folder.path() << ": " << error.what();
        }
    }
    std::stable_sort(segments.begin(), segments.end(),
                     [](const SubtitleSegment& a, const SubtitleSegment& b) {
                         return a.startTime < b.startTime;
                     });
    return segments;
}

enum class Outcome { recovered, kept, discarded };

Outcome recover(RecordingFolder& folder, const DraftStore& store, RecoveryReport& report) {
    const auto noted = folder.notedDraft();
    const auto notedID = noted ? Uuid::parse(*noted) : std::nullopt;
    if (notedID && store.hasDraft(*notedID)) {
        ZIMLO_LOG_INFO("recovery") << "already saved as draft " << *noted << ": " << folder.path();
        (void)folder.remove();
        return Outcome::discarded;
    }

    const auto screen = findMovie(folder.path(), "zimlo_screen_");
    auto camera = findMovie(folder.path(), "zimlo_camera_");
    const Pictures screenPictures = screen ? picturesIn(screen->path) : Pictures::none;
    const Pictures cameraPictures = camera ? picturesIn(camera->path) : Pictures::none;
    if (screenPictures == Pictures::unreadable || cameraPictures == Pictures::unreadable) {
        ZIMLO_LOG_ERROR("recovery") << "kept " << folder.path() << ": a movie cannot be read";
        return Outcome::kept;
    }
    if (screenPictures == Pictures::none) {
        if (cameraPictures == Pictures::some) {
            ZIMLO_LOG_ERROR("recovery")
                << "kept " << folder.path() << ": only the camera movie holds pictures";
            return Outcome::kept;
        }
        ZIMLO_LOG_INFO("recovery") << "removed " << folder.path() << ": no picture was recorded";
        (void)folder.remove();
        return Outcome::discarded;
    }
    if (cameraPictures != Pictures::some) camera.reset();

    RecordingProject project;
    project.id = notedID.value_or(Uuid::generate());  // replaces a draft the crash cut short
    project.createdAt = Date::fromSecondsSince1970(static_cast<double>(screen->second));
    project.mainVideo = screen->path;
    project.pipVideo = camera ? std::optional<fs::path>(camera->path) : std::nullopt;
    project.duration = measuredSeconds(screen->path);
    project.subtitleTrack = journaledSubtitles(folder);
    project.emphasizesSubtitleKeywords = true;
    project.isDraft = false;
    // The camera window's places were not kept: the camera movie comes along as it is.
    project.aspect.isPiPEnabled = camera.has_value();
    project.sourceKind = RecordingSourceKind::screen;

    (void)folder.noteDraft(project.id.uuidString());
    auto saved = store.saveDraft(project);
    if (!saved) {
        ZIMLO_LOG_ERROR("recovery") << "kept " << folder.path() << ": " << saved.error().message;
        return Outcome::kept;
    }
    const RecordingProject& stored = *saved;
    if (auto main = localFile(stored.mainVideo); !stored.subtitleTrack.empty() && main) {
        auto written = writeSubtitleFiles(main->parent_path(),
                                          VideoCompositor::exportedSubtitles(stored, 0, {}));
        if (!written) {
            ZIMLO_LOG_WARN("recovery")
                << "subtitle files of " << main->parent_path() << ": " << written.error().text();
        }
    }
    ZIMLO_LOG_INFO("recovery") << "saved " << folder.path() << " as draft "
                               << stored.id.uuidString();
    report.recovered.push_back(stored);
    (void)folder.remove();
    return Outcome::recovered;
}

}  // namespace

RecoveryReport recoverRecordings(const DraftStore& store, const fs::path& root) {
    RecoveryReport report;
    for (const auto& folder : RecordingFolder::adoptAbandoned(root)) {
        switch (recover(*folder, store, report)) {
            case Outcome::recovered:
                break;
            case Outcome::kept:
                ++report.kept;
                break;
            case Outcome::discarded:
                ++report.discarded;
                break;
        }
    }
    return report;
}

}  // namespace zimlo::compose
