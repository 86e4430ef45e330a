#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace zimlo::app {

// One Zimlo per user. The first start takes a lock file and listens on a local socket next to
// it; a later start finds the lock taken, asks the first one (through the socket) to come to
// the front and leaves. A lock left by a process that died is taken over. Main thread.
class SingleInstance : public QObject {
    Q_OBJECT
  public:
    // `directory` holds the lock and the socket: the user's runtime directory by default
    // ($XDG_RUNTIME_DIR, else the temporary folder with the user id in the names).
    explicit SingleInstance(const QString& directory = defaultDirectory());
    ~SingleInstance() override;

    // This process is the one instance; it then hears of later starts.
    bool isPrimary() const { return primary_; }
    // Called (main thread) each time a later start asks this instance to come to the front.
    std::function<void()> onActivationRequested;

    // From a later start: asks the instance that runs to come to the front. False when it could
    // not be reached within `timeoutMs` (it may be hanging).
    bool activatePrimary(int timeoutMs = 5000) const;

    static QString defaultDirectory();
    const QString& socketPath() const { return socketPath_; }

  private:
    void connectionArrived();

    QString socketPath_;
    std::unique_ptr<QLockFile> lock_;
    std::unique_ptr<QLocalServer> server_;
    bool primary_ = false;
};

}  // namespace zimlo::app
