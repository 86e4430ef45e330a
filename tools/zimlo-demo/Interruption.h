#pragma once

#include <string>

namespace zimlo::demo {

// Ctrl-C (SIGINT), SIGTERM and SIGHUP ask the demo to stop rather than end it, so it can take
// its virtual desktop down in order; a second one ends it at once. A crash prints the step it
// happened in before the process ends as it would have.
void installSignalHandlers();
bool interruptRequested();
// The step under way, which failure and crash messages name.
void setCurrentStep(const std::string& step);
std::string currentStep();

}  // namespace zimlo::demo
