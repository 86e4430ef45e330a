#pragma once

class QApplication;

namespace zimlo::app {

// What the application sets up once its QApplication exists, before any window: names, the
// interface language (from the locale or ZIMLO_LANGUAGE), icon and style, the main queue on Qt's
// event loop, and the key-word tagger's dictionaries loading in the background (so the first
// caption does not wait for them). The zimlo program and the demo share
// it, so both run the same application.
void setUpApplication(QApplication& application);

}  // namespace zimlo::app
