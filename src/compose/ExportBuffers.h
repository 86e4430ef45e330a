#pragma once

namespace zimlo::compose {

// Frames between decoding and writing, shared by the export after the stop and the one that
// follows a recording: enough to keep every stage busy, few enough that a long export stays at a
// flat, small memory footprint.
constexpr int kFramesInFlight = 4;
constexpr int kWriterVideoQueue = 4;
// Rendered frames may sit in the writer's queue and its encoder besides those in flight.
constexpr int kOutputBuffers = kFramesInFlight + kWriterVideoQueue + 8;
// How often a stage waiting for the writer to take more looks again, in seconds.
constexpr double kReadyPollSeconds = 1.0;

}  // namespace zimlo::compose
