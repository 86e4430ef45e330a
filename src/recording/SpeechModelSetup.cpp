#include "recording/SpeechModelSetup.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include "platform/log/Log.h"

namespace zimlo::recording {
namespace {

// The texts of this file, in the catalogue under one context.
struct Texts {
    Q_DECLARE_TR_FUNCTIONS(zimlo::recording::SpeechModelSetup)
};

bool isMandarin(const std::string& locale) { return locale == "zh-CN"; }

QString modelName(const std::string& locale) {
    return isMandarin(locale) ? Texts::tr("中文语音模型")
                              : Texts::tr("%1 语音模型").arg(QString::fromStdString(locale));
}

QString executable(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable() ? info.absoluteFilePath() : QString();
}

// The installer's steps, as zimlo-tool reports them, in the user's words.
QString stepText(const QString& step) {
    if (step.startsWith(QLatin1String("unpacking"))) return Texts::tr("正在解压模型…");
    if (step.startsWith(QLatin1String("copying"))) return Texts::tr("正在复制模型…");
    if (step.startsWith(QLatin1String("loading")))
        return Texts::tr("正在试加载模型，检查能否使用…");
    return Texts::tr("正在安装…");
}

}  // namespace

QString speechModelInstallCommand(const std::string& locale) {
    const QString file =
        isMandarin(locale) ? QString::fromLatin1(kMandarinModelArchive) : QStringLiteral("FILE");
    return QStringLiteral("zimlo-tool models install %1 --language %2")
        .arg(file, QString::fromStdString(locale));
}

QString speechModelMissingNotice(const std::string& locale) {
    if (isMandarin(locale))
        return Texts::tr("未安装中文语音模型，无法生成字幕。请下载 %1，点击“安装语音模型…”")
            .arg(QString::fromLatin1(kMandarinModelArchive));
    return Texts::tr("未安装%1，无法生成字幕。点击“安装语音模型…”").arg(modelName(locale));
}

QString speechModelMissingStatus(const std::string& locale) {
    if (isMandarin(locale))
        return Texts::tr(
                   "未安装中文语音模型，字幕无法生成：从 CMU Sphinx 项目下载 %1（地址见 "
                   "README），点击“安装语音模型…”选中它，或运行 %2")
            .arg(QString::fromLatin1(kMandarinModelArchive), speechModelInstallCommand(locale));
    return Texts::tr("未安装%1，字幕无法生成：点击“安装语音模型…”选中下载的模型，或运行 %2")
        .arg(modelName(locale), speechModelInstallCommand(locale));
}

SpeechModelInstallJob::SpeechModelInstallJob(QString tool, QObject* parent)
    : QObject(parent), tool_(std::move(tool)) {}

SpeechModelInstallJob::~SpeechModelInstallJob() {
    if (!process_) return;
    // Stopping the tool half-way could leave the language without its previous model: it
    // finishes on its own and nobody hears of it.
    process_->disconnect(this);
    process_->setParent(nullptr);
    QObject::connect(process_, &QProcess::finished, process_, &QObject::deleteLater);
}

QString SpeechModelInstallJob::findTool() {
    const QString here = QCoreApplication::applicationDirPath();
    for (const QString& candidate : {here + QStringLiteral("/zimlo-tool"),
                                     // build/src/app/zimlo beside build/tools/zimlo-tool/zimlo-tool
                                     here + QStringLiteral("/../../tools/zimlo-tool/zimlo-tool")}) {
        if (QString found = executable(candidate); !found.isEmpty()) return found;
    }
    return QStandardPaths::findExecutable(QStringLiteral("zimlo-tool"));
}

bool SpeechModelInstallJob::start(const QString& source, const std::string& locale) {
    if (process_) return false;
    const QString tool = tool_.isEmpty() ? findTool() : tool_;
    pending_.clear();
    toolError_.clear();
    if (tool.isEmpty()) {
        ZIMLO_LOG_ERROR("subtitles")
            << "cannot install a speech model: no zimlo-tool beside "
            << QCoreApplication::applicationDirPath().toStdString() << " or on the PATH";
        // Answered on a later turn, as a running installation would be.
        QMetaObject::invokeMethod(
            this,
            [this, error = Texts::tr("找不到 zimlo-tool，请在终端运行 %1")
                               .arg(speechModelInstallCommand(locale))] { ended(error); },
            Qt::QueuedConnection);
        return true;
    }
    auto* process = new QProcess(this);
    process_ = process;
    process->setProgram(tool);
    process->setArguments({QStringLiteral("models"), QStringLiteral("install"), source,
                           QStringLiteral("--language"), QString::fromStdString(locale)});
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    connect(process, &QProcess::readyReadStandardError, this, &SpeechModelInstallJob::readOutput);
    connect(process, &QProcess::errorOccurred, this,
            [this, process, tool](QProcess::ProcessError e) {
                if (e != QProcess::FailedToStart || process != process_) return;
                ZIMLO_LOG_ERROR("subtitles") << "cannot start " << tool.toStdString() << ": "
                                             << process->errorString().toStdString();
                process->deleteLater();
                ended(Texts::tr("无法运行 zimlo-tool：%1").arg(process->errorString()));
            });
    connect(process, &QProcess::finished, this,
            [this, process](int code, QProcess::ExitStatus status) {
                if (process != process_) return;
                readOutput();
                process->deleteLater();
                if (status == QProcess::NormalExit && code == 0) return ended(std::nullopt);
                if (!toolError_.isEmpty()) return ended(toolError_);
                ZIMLO_LOG_ERROR("subtitles")
                    << "zimlo-tool models install ended without a reason ("
                    << (status == QProcess::CrashExit ? "crashed" : "exit ") << code << ")";
                ended(Texts::tr("安装程序意外退出"));
            });
    if (onProgress) onProgress(Texts::tr("正在启动安装…"));
    process->start();
    return true;
}

void SpeechModelInstallJob::readOutput() {
    if (!process_) return;
    pending_ += process_->readAllStandardError();
    qsizetype end = 0;
    while ((end = pending_.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(pending_.left(end)).trimmed();
        pending_.remove(0, end + 1);
        if (line.startsWith(QLatin1String("models: "))) {
            if (onProgress) onProgress(stepText(line.mid(8)));
        } else if (line.startsWith(QLatin1String("error: "))) {
            toolError_ = line.mid(7);
        }
    }
}

void SpeechModelInstallJob::ended(const std::optional<QString>& error) {
    process_ = nullptr;
    if (onFinished) onFinished(error);
}

}  // namespace zimlo::recording
