#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/RecordingProject.h"
#include "platform/runtime/Result.h"
#include "platform/storage/FileError.h"

namespace zimlo {

// Subtitle files beside a movie, for players and editors that take soft subtitles: SubRip
// ("subtitles.srt") and WebVTT ("subtitles.vtt"), both UTF-8, one cue per segment in order of
// start, times to the millisecond.
enum class SubtitleFileFormat { srt, webVTT };

// "srt" or "vtt"; none for anything else.
std::optional<SubtitleFileFormat> subtitleFileFormat(std::string_view name);
// "subtitles.srt" or "subtitles.vtt".
std::string subtitleFileName(SubtitleFileFormat format);

// The file's text: what a movie of these segments shows. Where segments overlap, the movie shows
// the first one in the given order that covers a moment, so a later one is a cue only where no
// earlier one covers it. Segments that would show nothing are left out: no text, no time on
// screen (after rounding to milliseconds), or times that are not numbers. Line breaks inside a
// text are kept; blank lines (which would end a cue) and control characters are not (a tab is
// a space); SubRip's "-->" gets an invisible word joiner so it never reads as a timing line;
// WebVTT escapes "&", "<" and ">".
std::string subtitleDocument(const std::vector<SubtitleSegment>& segments,
                             SubtitleFileFormat format);

// Writes both files into `directory`, each replaced in one step.
Result<void, FileError> writeSubtitleFiles(const std::filesystem::path& directory,
                                           const std::vector<SubtitleSegment>& segments);

// Reads a subtitle file through FFmpeg's demuxer for its format, one segment per cue with a new
// id and the text as written above, or why it cannot be read (naming the file). Only a regular
// file of at most 16 MiB is read; a FIFO or a device is refused without waiting on it.
Result<std::vector<SubtitleSegment>, std::string> readSubtitleFile(
    const std::filesystem::path& file, SubtitleFileFormat format);

}  // namespace zimlo
