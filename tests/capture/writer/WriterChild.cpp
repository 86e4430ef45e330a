// Records synthetic frames and sound with the movie writer until it is killed. After every
// second of media it has handed over it prints "fed N" on standard output.
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "capture/RecordingFileWriter.h"
#include "platform/media/MediaSample.h"
#include "platform/media/SyntheticMedia.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zimlo_writer_child OUT.mov\n");
        return 2;
    }
    using namespace zimlo;
    using capture::AudioSource;
    using capture::RecordingFileWriter;
    auto writer = RecordingFileWriter::create(argv[1], media::MovieFileType::quickTimeMovie,
                                              {AudioSource::system}, CaptureFrameRate::fps30);
    const int fps = 30;
    auto start = std::chrono::steady_clock::now();
    for (int frame = 0;; ++frame) {
        media::MediaTime time = media::MediaTime::make(100 * fps + frame, fps);  // starts at 100 s
        writer->appendVideo(test::videoSample(test::movingPicture(320, 240, frame), time));
        writer->appendAudio(test::toneSample(time, 1600, 440, 0.5f, 48000, int64_t{frame} * 1600),
                            AudioSource::system);
        // Paced at real time, as a capture would be.
        std::this_thread::sleep_until(start + std::chrono::milliseconds(1000 * (frame + 1) / fps));
        if ((frame + 1) % fps == 0) {
            std::printf("fed %d\n", (frame + 1) / fps);
            std::fflush(stdout);
        }
    }
}
