#pragma once

#include <string>

namespace zimlo::capture {

// Why the screen and camera source could not do what it was asked: the error of its Results
// and of its completions.
struct SourceError {
    enum class Kind {
        cannotAddScreenOutput,       // message: the description
        cannotAddSystemAudioOutput,  // message: the description
        cannotUpdateSettings,        // message: the description
        missingTarget,
        noCamera,
        noMicrophone,
        cannotConfigureCamera,
        cannotConfigureMicrophone,
        // A device's own failure passed on as it stands (opening a camera or a microphone,
        // applying a camera format); message: the device's description.
        deviceFailure,
    };

    Kind kind = Kind::cannotUpdateSettings;
    std::string message;

    SourceError(Kind kind, std::string message = {});

    static SourceError cannotAddScreenOutput(std::string m) {
        return {Kind::cannotAddScreenOutput, std::move(m)};
    }
    static SourceError cannotAddSystemAudioOutput(std::string m) {
        return {Kind::cannotAddSystemAudioOutput, std::move(m)};
    }
    static SourceError cannotUpdateSettings(std::string m) {
        return {Kind::cannotUpdateSettings, std::move(m)};
    }
    static SourceError deviceFailure(std::string m) { return {Kind::deviceFailure, std::move(m)}; }

    // The user-facing text: the payload for the cases that carry one, the fixed text otherwise.
    const std::string& description() const { return description_; }

    friend bool operator==(const SourceError& a, const SourceError& b) {
        return a.kind == b.kind && a.message == b.message;
    }

  private:
    std::string description_;
};

}  // namespace zimlo::capture
