#pragma once

#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <functional>
#include <optional>
#include <string>

namespace zimlo::recording {

// What subtitles without a speech model tell the user, and the installation of a model from
// the recording window.

// The archive the CMU Sphinx project publishes for Mandarin.
inline constexpr const char* kMandarinModelArchive = "cmusphinx-zh-cn-5.2.tar.gz";

// For the subtitle region: what is missing and what to do, short enough for its two lines.
QString speechModelMissingNotice(const std::string& locale);
// For the status line and the region's tool tip: the model, where it comes from and the
// command that installs it.
QString speechModelMissingStatus(const std::string& locale);
// The command that installs a downloaded model for `locale`.
QString speechModelInstallCommand(const std::string& locale);

// Installs a speech model archive (or an unpacked folder) for one language with zimlo-tool in a
// child process, so that the checks, the trial load in a process of its own and the errors are
// the tool's, and the window goes on meanwhile. One installation at a time.
class SpeechModelInstallJob : public QObject {
    Q_OBJECT
  public:
    // `tool`: the zimlo-tool program; empty: findTool().
    explicit SpeechModelInstallJob(QString tool = {}, QObject* parent = nullptr);
    ~SpeechModelInstallJob() override;

    // zimlo-tool beside this program (installed), in the build tree it was built in, or on the
    // PATH; empty when none is found.
    static QString findTool();

    // Each step of a running installation, in the user's words ("正在解压…").
    std::function<void(const QString& step)> onProgress;
    // The installation ended: none when the model is in place, else why not (the tool's reason).
    std::function<void(const std::optional<QString>& error)> onFinished;

    // Starts installing `source` for `locale`; false when an installation runs already.
    bool start(const QString& source, const std::string& locale);
    bool isRunning() const { return process_ != nullptr; }

  private:
    void readOutput();
    void ended(const std::optional<QString>& error);

    QString tool_;
    QPointer<QProcess> process_;
    QByteArray pending_;  // the tool's error output not yet split into lines
    QString toolError_;   // its "error: " line
};

}  // namespace zimlo::recording
