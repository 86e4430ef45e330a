#include "recording/RecordingView.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QShortcut>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <limits>

#include "capture/PlatformErrorText.h"
#include "capture/ScreenCaptureTargetProvider.h"
#include "platform/audio/PulseCapture.h"
#include "platform/log/Log.h"
#include "platform/media/MonotonicClock.h"
#include "platform/runtime/MainQueue.h"
#include "platform/runtime/WeakOwner.h"
#include "platform/storage/SettingsFile.h"
#include "recording/DraggableSubtitleView.h"
#include "recording/ElidingLabel.h"
#include "recording/FormRow.h"
#include "recording/GlobalShortcutEditor.h"
#include "recording/HudPanel.h"
#include "recording/KeyboardActivation.h"
#include "recording/Permissions.h"
#include "recording/PopupAccessibility.h"
#include "recording/RecordingParameterPopover.h"
#include "recording/RecordingWindowText.h"
#include "recording/ScreenPreviewView.h"
#include "recording/SpeechModelSetup.h"
#include "recording/SpinningIndicator.h"
#include "recording/SteadyDropShadowEffect.h"
#include "recording/TabularDigits.h"

namespace zimlo::recording {
namespace {

constexpr int kToolbarInset = 22;
constexpr int kToolbarHeight = 56;
// Time for the compositor to take the recording window off the screen before recording starts.
constexpr int kStepAsideMilliseconds = 400;

QString fromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Sizes are pixels, as everywhere in the application's windows.
QFont systemFont(int pixels, QFont::Weight weight) {
    QFont font = QApplication::font();
    font.setPixelSize(pixels);
    font.setWeight(weight);
    return font;
}

// How long the finish waits at most for speech said before the stop to be recognised.
constexpr double kSubtitleSettleLimitSeconds = 3.0;

}  // namespace

RecordingView::RecordingView(capture::ScreenCaptureTarget target, Dependencies dependencies,
                             QWidget* parent)
    : QWidget(parent),
      target_(std::move(target)),
      dependencies_(std::move(dependencies)),
      clock_(dependencies_.clock ? dependencies_.clock
                                 : std::function<double()>(&media::MonotonicClock::nowSeconds)),
      recordingSettings_(RecordingSettings::defaultSettings()) {
    const PixelSize native = dependencies_.nativePixelSize.value_or(
        capture::ScreenCaptureTargetProvider::nativePixelSize(target_));
    availableResolutions_ = zimlo::availableResolutions(native.width, native.height);
    settingsStore_ = dependencies_.settingsStore ? dependencies_.settingsStore
                                                 : RecordingSettingsStore::shared();
    recordingSettings_ = settingsStore_->load(availableResolutions_,
                                              nativeDefaultSettings(native.width, native.height));
    if (settingsStore_->defaults()->takeRejection())
        pendingSettingsProblem_ = settingsRejectedText(settingsStore_->defaults()->file());
    countdownSeconds_ =
        settingsStore_->defaults()->integer(countdownKey) > 0 ? kCountdownSeconds : 0;
    *microphoneChoice_->lock() = settingsStore_->defaults()->string(microphoneKey).value_or("");
    // The microphone input looks up the chosen device each time it connects.
    if (!dependencies_.sourceOptions.microphoneDiscovery)
        dependencies_.sourceOptions.microphoneDiscovery = [choice = microphoneChoice_] {
            return audio::microphoneNamed(*choice->lock());
        };

    std::shared_ptr<LiveSpeechRecognizer> speech =
        dependencies_.speech ? dependencies_.speech
                             : LiveSpeechRecognizer::create(Language::chinese);
    finishPipeline_ = RecordingFinishPipeline::create(*this, dependencies_.finishServices);

    // A plain black view; everything else sits on it.
    setAttribute(Qt::WA_StyledBackground);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::black);
    setPalette(palette);
    setAutoFillBackground(true);
    // The parameter panel is a pop-up of this view: screen readers reach it through the view.
    exposePopupsToAssistiveTechnologies(this);
    buildViews();
    subtitles_ =
        LiveSubtitleTrack::create(*this, std::move(speech), subtitleRegion_, subtitleToggle_);
    cameraWindow_ = CameraWindowFlow::create(*this, cameraToggle_, previewContainer_,
                                             subtitleRegion_, [this] { return recordingClock(); });
    setUpSource();
    setUpGlobalShortcuts();
}

void RecordingView::setUpGlobalShortcuts() {
    shortcutSettings_ = GlobalShortcutStore(settingsStore_->defaults()).load();
    globalShortcutsAvailable_ =
        dependencies_.globalShortcuts.value_or(globalShortcutsAvailable(target_));
    if (!globalShortcutsAvailable_) return;
    try {
        globalShortcuts_ = GlobalShortcuts::create(dependencies_.sourceOptions.displayName);
    } catch (const screen::CaptureError& error) {
        pendingShortcutProblem_ =
            tr("全局快捷键不可用：%1").arg(fromUtf8(capture::userText(error)));
        return;
    } catch (const std::exception& error) {
        ZIMLO_LOG_WARN("recording") << "listening for global shortcuts: " << error.what();
        pendingShortcutProblem_ = tr("全局快捷键不可用：无法监听全局快捷键");
        return;
    }
    QPointer<RecordingView> weak(this);
    // As the space bar and P do in the window.
    globalShortcuts_->onToggleRecording = [weak] {
        if (weak && weak->recordButton_->isEnabled()) weak->recordButton_->click();
    };
    globalShortcuts_->onPauseRecording = [weak] {
        if (weak && weak->pauseButton_->isEnabled()) weak->pauseButton_->click();
    };
    pendingShortcutProblem_ = globalShortcuts_->apply(shortcutSettings_);
}

void RecordingView::applyGlobalShortcuts(const GlobalShortcutSettings& settings) {
    shortcutSettings_ = settings;
    auto saved = GlobalShortcutStore(settingsStore_->defaults()).save(settings);
    const QString updated = tr("全局快捷键已更新：%1 开始/停止录制，%2 暂停/继续")
                                .arg(settings.toggleRecording.toString(QKeySequence::NativeText),
                                     settings.pauseRecording.toString(QKeySequence::NativeText));
    if (!globalShortcuts_) {
        if (!saved) setError(settingsNotSavedText(updated, saved.error()));
        return;
    }
    const QString problem = globalShortcuts_->apply(settings);
    if (!problem.isEmpty())
        setError(problem);
    else if (!saved)
        setError(settingsNotSavedText(updated, saved.error()));
    else
        setStatus(updated);
}

RecordingView::~RecordingView() {
    // Late completions find the pipeline gone and do nothing; its host is going away.
    finishPipeline_.reset();
    durationTimer_->stop();
    subtitles_.reset();  // cancels a pending clearing, stops recognition
    cameraWindow_.reset();
    if (parameterController_) parameterController_->close();
    if (source_) {
        source_->onStateChange = nullptr;
        source_->onScreenCaptureStatusChange = nullptr;
        source_->onFinishRecording = nullptr;
        source_->onRecordingFailure = nullptr;
        source_->onAudioInterruption = nullptr;
        source_->shutdown();
        // Wait for the stream and the devices to stop: once the window is gone nothing may
        // still be capturing the screen, the camera or the microphone.
        source_->screenQueue().sync([] {});
        source_->cameraQueue().sync([] {});
    }
}

namespace {

// Light text on a dark panel, whatever the desktop's colour scheme.
QPalette onDarkPanel(QPalette palette) {
    palette.setColor(QPalette::WindowText, Qt::white);
    palette.setColor(QPalette::Text, Qt::white);
    palette.setColor(QPalette::Base, QColor(72, 72, 76));
    palette.setColor(QPalette::PlaceholderText,
                     QColor(235, 235, 245, 153));  // secondary label colour
    return palette;
}

}  // namespace

void RecordingView::buildViews() {
    buildPreview();
    QLabel* titleLabel = buildToolbarControls();
    layOutToolbar(titleLabel);
    buildMicrophoneLevel();
    buildCountdown();
    durationTimer_ = new QTimer(this);
    durationTimer_->setInterval(250);
    connect(durationTimer_, &QTimer::timeout, this, &RecordingView::updateDurationLabel);

    buildProcessingOverlay();
}

// The black area the screen's picture, the subtitle region and the overlays on it live in.
void RecordingView::buildPreview() {
    previewContainer_ = new QWidget(this);
    previewContainer_->setObjectName(QStringLiteral("previewContainer"));
    previewContainer_->setAutoFillBackground(true);
    QPalette black = previewContainer_->palette();
    black.setColor(QPalette::Window, Qt::black);
    previewContainer_->setPalette(black);
    previewContainer_->installEventFilter(this);

    screenPreview_ = new ScreenPreviewView(previewContainer_);

    subtitleRegion_ = new DraggableSubtitleView(previewContainer_);
    subtitleRegion_->hide();
    subtitleRegion_->onLayoutChanged = [this](SubtitleLayout layout) { subtitleLayout_ = layout; };
}

// The floating toolbar's controls; the target's title label, which only the layout needs.
QLabel* RecordingView::buildToolbarControls() {
    toolbar_ = new HudPanel(this, 18, true);
    // Black at 0.22; the toolbar floats over the preview, which is drawn thirty times a second.
    toolbar_->setGraphicsEffect(
        new SteadyDropShadowEffect(QColor(0, 0, 0, 56), 18, QPointF(0, 5), toolbar_));
    toolbar_->setPalette(onDarkPanel(toolbar_->palette()));

    closeButton_ = new QPushButton(tr("重选窗口"), toolbar_);
    auto* titleLabel = new ElidingLabel(Qt::ElideMiddle, toolbar_);
    titleLabel->setFont(systemFont(13, QFont::DemiBold));
    titleLabel->setText(fromUtf8(target_.title));
    // A short title ("Display 1") stays whole when a long status fills the toolbar: the status
    // line is cut first, and keeps its whole text in its tool tip.
    titleLabel->setMinimumWidth(
        std::clamp(titleLabel->fontMetrics().horizontalAdvance(titleLabel->text()) + 4, 40, 120));
    titleLabel->setToolTip(fromUtf8(target_.title));
    titleLabel->setObjectName(QStringLiteral("targetTitleLabel"));
    parameterButton_ = new QPushButton(tr("参数"), toolbar_);
    parameterButton_->setToolTip(tr("设置录制分辨率和帧速率"));
    cameraToggle_ = new QCheckBox(tr("开启摄像头小窗"), toolbar_);
    subtitleToggle_ = new QCheckBox(tr("开启字幕"), toolbar_);
    installModelButton_ = new QPushButton(tr("安装语音模型…"), toolbar_);
    installModelButton_->setToolTip(tr("选择下载的语音模型压缩包（如 %1），检查后安装")
                                        .arg(QLatin1String(kMandarinModelArchive)));
    installModelButton_->hide();
    durationLabel_ = new QLabel(QStringLiteral("00:00"), toolbar_);
    // Every digit as wide as the others, so the toolbar does not shift as the seconds count.
    durationLabel_->setFont(withTabularDigits(systemFont(13, QFont::DemiBold)));
    statusLabel_ = new ElidingLabel(Qt::ElideRight, toolbar_);
    statusLabel_->setFont(systemFont(13, QFont::Medium));
    statusLabel_->setForegroundRole(QPalette::PlaceholderText);
    statusLabel_->setMinimumWidth(60);
    static_cast<ElidingLabel*>(statusLabel_)->setMaximumLines(2);
    // As wide as its text while the toolbar has room (the stretch before it gives way first);
    // cut only when the toolbar is full.
    statusLabel_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    recordButton_ = new QPushButton(tr("开始录制"), toolbar_);
    recordButton_->setEnabled(false);
    recordButton_->setDefault(true);
    recordButton_->setStyleSheet(QStringLiteral(
        "QPushButton { background-color: palette(highlight); color: palette(highlighted-text);"
        " border-radius: 6px; padding: 5px 14px; font-weight: 600; }"
        "QPushButton:disabled { background-color: rgba(128,128,128,0.35); color: "
        "rgba(255,255,255,0.5); }"));
    // The space bar records and stops; on a focused check box or button it acts on that control
    // (text fields keep it for typing).
    addDefaultKey(this, QKeySequence(Qt::Key_Space), [this] {
        if (recordButton_->isEnabled()) recordButton_->click();
    });
    recordButton_->setStyleSheet(recordButton_->styleSheet() +
                                 QStringLiteral("QPushButton:focus { border: 2px solid white; }"));
    pauseButton_ = new QPushButton(tr("暂停录制"), toolbar_);
    pauseButton_->setEnabled(false);
    // P pauses and resumes, as the button does.
    auto* pause = new QShortcut(QKeySequence(Qt::Key_P), this);
    pause->setContext(Qt::WindowShortcut);
    connect(pause, &QShortcut::activated, this, [this] {
        if (pauseButton_->isEnabled()) pauseButton_->click();
    });
    return titleLabel;
}

void RecordingView::layOutToolbar(QLabel* titleLabel) {
    auto* row = new QHBoxLayout(toolbar_);
    row->setContentsMargins(16, 0, 16, 0);
    row->setSpacing(14);
    row->addWidget(closeButton_);
    row->addWidget(titleLabel, 0);
    row->addWidget(parameterButton_);
    row->addWidget(cameraToggle_);
    row->addWidget(subtitleToggle_);
    row->addWidget(installModelButton_);
    row->addWidget(durationLabel_);
    row->addWidget(pauseButton_);
    row->addStretch(1);
    row->addWidget(statusLabel_);
    row->addWidget(recordButton_);
    // Long titles and status lines are cut rather than pushing the buttons out.
    titleLabel->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    titleLabel->setMaximumWidth(220);

    connect(closeButton_, &QPushButton::clicked, this, &RecordingView::closeTapped);
    connect(recordButton_, &QPushButton::clicked, this, &RecordingView::toggleRecording);
    connect(pauseButton_, &QPushButton::clicked, this, &RecordingView::togglePause);
    connect(parameterButton_, &QPushButton::clicked, this, &RecordingView::parameterTapped);
    connect(cameraToggle_, &QCheckBox::clicked, this, &RecordingView::cameraToggleChanged);
    connect(subtitleToggle_, &QCheckBox::clicked, this, &RecordingView::subtitleToggleChanged);
    connect(installModelButton_, &QPushButton::clicked, this, &RecordingView::installModelTapped);
}

// The microphone's live level, over the preview's corner.
void RecordingView::buildMicrophoneLevel() {
    // Over the preview's corner rather than in the toolbar, whose width the status line needs.
    microphoneLevel_ = new QProgressBar(previewContainer_);
    microphoneLevel_->setObjectName(QStringLiteral("microphoneLevel"));
    microphoneLevel_->setRange(0, 100);
    microphoneLevel_->setValue(0);
    microphoneLevel_->setTextVisible(false);
    microphoneLevel_->setFixedSize(120, 8);
    microphoneLevel_->setAccessibleName(tr("麦克风音量"));
    microphoneLevel_->setToolTip(tr("麦克风音量"));
    levelTimer_ = new QTimer(this);
    levelTimer_->setInterval(100);
    connect(levelTimer_, &QTimer::timeout, this, &RecordingView::showMicrophoneLevel);
}

// The seconds left before the recording starts, large over the preview.
void RecordingView::buildCountdown() {
    countdownLabel_ = new QLabel(previewContainer_);
    countdownLabel_->setObjectName(QStringLiteral("countdownLabel"));
    countdownLabel_->setAlignment(Qt::AlignCenter);
    countdownLabel_->setFont(systemFont(120, QFont::Bold));
    countdownLabel_->setStyleSheet(
        QStringLiteral("color: white; background-color: rgba(0, 0, 0, 150); border-radius: 24px;"));
    countdownLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);
    countdownLabel_->hide();
    countdownTimer_ = new QTimer(this);
    countdownTimer_->setInterval(1000);
    // A coarse timer may fire 5 % early: three such seconds would start the recording early.
    countdownTimer_->setTimerType(Qt::PreciseTimer);
    connect(countdownTimer_, &QTimer::timeout, this, &RecordingView::countdownTick);
}

// The processing overlay covers everything while a movie is composed.
void RecordingView::buildProcessingOverlay() {
    processingOverlay_ = new HudPanel(this, 0, false);
    processingOverlay_->setPalette(onDarkPanel(processingOverlay_->palette()));
    auto* column = new QVBoxLayout(processingOverlay_);
    column->setSpacing(12);
    column->addStretch(1);
    auto* indicator = new SpinningIndicator(processingOverlay_);
    indicator->hide();
    processingIndicator_ = indicator;
    column->addWidget(indicator, 0, Qt::AlignHCenter);
    processingTitleLabel_ = new QLabel(tr("正在合成视频…"), processingOverlay_);
    processingTitleLabel_->setFont(systemFont(18, QFont::DemiBold));
    processingTitleLabel_->setAlignment(Qt::AlignCenter);
    column->addWidget(processingTitleLabel_);
    processingDetailLabel_ = new QLabel(tr("字幕与画面正在写入视频，请稍候"), processingOverlay_);
    processingDetailLabel_->setFont(systemFont(13, QFont::Normal));
    processingDetailLabel_->setForegroundRole(QPalette::PlaceholderText);
    processingDetailLabel_->setAlignment(Qt::AlignCenter);
    column->addWidget(processingDetailLabel_);
    cancelCompositionButton_ = new QPushButton(tr("取消合成"), processingOverlay_);
    cancelCompositionButton_->hide();
    connect(cancelCompositionButton_, &QPushButton::clicked, this,
            [this] { finishPipeline_->cancelExport(); });
    column->addSpacing(6);
    column->addWidget(cancelCompositionButton_, 0, Qt::AlignHCenter);
    column->addStretch(1);
    processingOverlay_->hide();
}

void RecordingView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    previewContainer_->setGeometry(rect());
    toolbar_->setGeometry(kToolbarInset, height() - kToolbarInset - kToolbarHeight,
                          std::max(0, width() - 2 * kToolbarInset), kToolbarHeight);
    toolbar_->raise();
    processingOverlay_->setGeometry(rect());
    processingOverlay_->raise();
}

bool RecordingView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == previewContainer_ && event->type() == QEvent::Resize) layoutOverlays();
    return QWidget::eventFilter(watched, event);
}

// The container was laid out anew: the preview fills it, the overlays keep their places in it.
void RecordingView::layoutOverlays() {
    screenPreview_->setGeometry(previewContainer_->rect());
    countdownLabel_->setGeometry(
        QRect(0, 0, 220, 200).translated(previewContainer_->rect().center() - QPoint(110, 100)));
    microphoneLevel_->move(12, previewContainer_->height() - 12 - microphoneLevel_->height());
    microphoneLevel_->raise();
    if (cameraWindow_) cameraWindow_->placeIfNeeded();
    if (subtitleRegion_->isVisible()) subtitleRegion_->applyLayout(subtitleLayout_);
    if (cameraWindow_) cameraWindow_->recordKeyframe();
}

void RecordingView::setRecordButtonEnabled(bool enabled) {
    // Disabling the focused button moves the focus on (to "重选窗口", where the space bar would
    // close the window): it comes back when the button does, unless the user moved it since.
    QWidget* focus = window()->focusWidget();
    if (!enabled && recordButton_->isEnabled() && focus == recordButton_) {
        recordButton_->setEnabled(false);
        focusAwayFromRecord_ = window()->focusWidget();
        if (!focusAwayFromRecord_) focusAwayFromRecord_ = this;
        return;
    }
    recordButton_->setEnabled(enabled);
    if (!enabled) return;
    const bool focusUntouched = focusAwayFromRecord_ && focus == focusAwayFromRecord_.data();
    if (focusUntouched || !focus || focus == this) recordButton_->setFocus(Qt::OtherFocusReason);
    focusAwayFromRecord_ = nullptr;
}

void RecordingView::setStatus(const QString& status) {
    if (isHoldingError_) {
        statusAfterError_ = status;
        return;
    }
    showStatusText(status);
}

void RecordingView::setError(const QString& error) {
    if (!isHoldingError_) statusAfterError_.reset();
    isHoldingError_ = true;
    showStatusText(error);
}

void RecordingView::userActed() {
    if (!isHoldingError_) return;
    isHoldingError_ = false;
    if (statusAfterError_) showStatusText(*std::exchange(statusAfterError_, std::nullopt));
}

void RecordingView::showStatusText(const QString& text) {
    // The whole text stays readable: in the tooltip, and the label wraps to a second line.
    statusLabel_->setToolTip(text);
    statusLabel_->setText(text);
    statusLabel_->setAccessibleDescription(text);
}

void RecordingView::setUpSource() {
    setStatus(tr("正在初始化录屏预览…"));
    aspect_.isPiPEnabled = false;

    source_ = capture::ScreenCameraSource::create(target_, dependencies_.sourceOptions);
    QPointer<RecordingView> weak(this);
    source_->onStateChange = [weak](const capture::CaptureState& state) {
        if (weak) weak->sourceStateChanged(state);
    };
    source_->onScreenFrame = screenPreview_->frameHandler();
    source_->onScreenCaptureStatusChange = [weak](const capture::ScreenCaptureStatus& status) {
        if (weak) weak->captureStatusChanged(status);
    };
    source_->onMicrophoneAudio = weakly(
        subtitles_->speech(),
        [weakSource = std::weak_ptr<capture::ScreenCameraSource>(source_), meter = levelMeter_](
            LiveSpeechRecognizer& recognizer, const media::AudioSample& sample) {
            meter->take(sample);
            // Speech of a pause is not subtitled, also what was said just before the resume
            // and reaches the recogniser after it.
            if (auto source = weakSource.lock();
                source && source->isInPause(sample.presentationTime))
                return;
            recognizer.appendAudioSample(sample);
        });
    source_->onFinishRecording = [weak](std::optional<std::filesystem::path> main,
                                        std::optional<std::filesystem::path> pip) {
        if (weak)
            weak->finishPipeline_->filesReported(std::move(main), std::move(pip),
                                                 weak->source_->recordingFolder());
    };
    source_->onRecordingFailure = [weak](const capture::WriterError& error) {
        if (weak) weak->recordingFailed(error);
    };
    source_->onAudioInterruption = [weak](capture::AudioSource audio,
                                          const std::optional<std::string>& problem) {
        if (weak)
            weak->setStatus(audioInterruptionText(audio, problem.has_value(), weak->isRecording()));
    };
    source_->setRecordingSettings(recordingSettings_);

    if (auto configured = source_->configureScreenStream(); !configured) {
        setError(tr("初始化失败：%1").arg(fromUtf8(configured.error().description())));
        return;
    }
    source_->startScreenCapture();
    listenToMicrophone();
    setRecordButtonEnabled(true);
    setStatus(tr("已就绪：%1 · %2，等待首帧…")
                  .arg(fromUtf8(target_.title), fromUtf8(recordingSettings_.summary())));
}

void RecordingView::sourceStateChanged(const capture::CaptureState& state) {
    // The desktop ended the screen share (its own "stop sharing" control): what was recorded
    // is kept, as with the stop button.
    if (state.kind == capture::CaptureState::Kind::failed && target_.kind.isPortal() &&
        isRecording() && durationTimer_->isActive()) {
        stopRecording();
        return;
    }
    // While the stopped recording is finished the status line follows the finish; the source's
    // report of the stop would hide it.
    if (isRecording() && !durationTimer_->isActive() &&
        state.kind != capture::CaptureState::Kind::failed)
        return;
    // The report of a started recording arrives just after the recording's own status, which
    // says what is recorded (and why the microphone is missing); that one stays.
    if (state.kind == capture::CaptureState::Kind::recording && isRecording() &&
        durationTimer_->isActive() && !recordingStatusText_.isEmpty()) {
        setStatus(recordingStatusText_);
        return;
    }
    setStatus(captureStateText(state, latestCaptureStatus_, recordingSettings_));
}

void RecordingView::captureStatusChanged(const capture::ScreenCaptureStatus& status) {
    latestCaptureStatus_ = status;
    // The countdown's own line stays until the recording takes over.
    if (isRecording() || isCountingDown() || isApplyingRecordingSettings_) return;
    // An unusable settings file and a combination another program holds are said after the
    // start-up messages, which would replace them at once; one at each report, each read before
    // the next comes.
    if (isHoldingError_) {
        setStatus(fromUtf8(status.displayText()));
        return;
    }
    if (!pendingSettingsProblem_.isEmpty()) {
        setError(std::exchange(pendingSettingsProblem_, QString()));
        return;
    }
    if (!pendingShortcutProblem_.isEmpty()) {
        setError(std::exchange(pendingShortcutProblem_, QString()));
        return;
    }
    setStatus(fromUtf8(status.displayText()));
}

void RecordingView::toggleRecording() {
    userActed();
    if (isRecording()) {
        stopRecording();
    } else if (isCountingDown()) {
        cancelCountdown();
    } else if (countdownSeconds_ > 0 && !isApplyingRecordingSettings_ &&
               !isPreparingRecordingAudio_) {
        startCountdown();
    } else {
        startRecordingWithMicrophone();
    }
}

std::string RecordingView::chosenMicrophone() const { return *microphoneChoice_->lock(); }

void RecordingView::chooseMicrophone(const std::string& name) {
    *microphoneChoice_->lock() = name;
    auto saved = name.empty() ? settingsStore_->defaults()->remove(microphoneKey)
                              : settingsStore_->defaults()->setString(microphoneKey, name);
    if (!saved) setError(settingsNotSavedText(tr("已选择麦克风"), saved.error()));
    // The microphone input connects to the new choice (the level follows it).
    if (!isRecording()) listenToMicrophone();
}

void RecordingView::listenToMicrophone() {
    QPointer<RecordingView> weak(this);
    Permissions::requestMicrophoneAccess([weak](bool granted) {
        if (!weak) return;
        if (!granted) {
            weak->microphoneLevel_->setEnabled(false);
            weak->microphoneLevel_->setToolTip(tr("麦克风未授权"));
            return;
        }
        weak->source_->prepareMicrophone([weak](std::optional<capture::SourceError> error) {
            if (!weak) return;
            weak->microphoneLevel_->setEnabled(!error);
            if (error) {
                weak->microphoneLevel_->setToolTip(
                    tr("输入设备不可用：%1").arg(fromUtf8(error->description())));
                weak->levelTimer_->stop();
                weak->microphoneLevel_->setValue(0);
                return;
            }
            const QString name = fromUtf8(weak->source_->microphoneName().value_or(""));
            weak->microphoneLevel_->setToolTip(tr("麦克风音量：%1").arg(name));
            weak->microphoneLevel_->setAccessibleDescription(name);
            weak->levelTimer_->start();
        });
    });
}

void RecordingView::showMicrophoneLevel() {
    // Rises at once, falls back slowly, as level meters do.
    shownLevel_ = std::max(levelMeter_->read(), shownLevel_ * 0.75f);
    microphoneLevel_->setValue(static_cast<int>(std::lround(shownLevel_ * 100)));
}

void RecordingView::fillMicrophoneChoice(QComboBox* choice) {
    choice->addItem(tr("跟随系统设置"), QString());
    choice->setEnabled(false);  // until the sound server has answered
    QPointer<QComboBox> weakChoice(choice);
    QPointer<RecordingView> weak(this);
    if (!deviceQueue_) deviceQueue_ = std::make_unique<SerialQueue>(".mic-devices");
    deviceQueue_->async([weak, weakChoice] {
        auto inputs = audio::listMicrophones();  // logged when it fails
        MainQueue::post([weak, weakChoice, inputs = std::move(inputs)] {
            if (!weak || !weakChoice) return;
            const QString chosen = fromUtf8(weak->chosenMicrophone());
            if (inputs) {
                for (const audio::AudioSourceInfo& input : *inputs)
                    weakChoice->addItem(fromUtf8(input.description), fromUtf8(input.name));
            }
            const int at = weakChoice->findData(chosen);
            weakChoice->setCurrentIndex(at >= 0 ? at : 0);
            weakChoice->setEnabled(true);
            QObject::connect(weakChoice, &QComboBox::activated, weak, [weak, weakChoice](int) {
                if (weak && weakChoice)
                    weak->chooseMicrophone(weakChoice->currentData().toString().toStdString());
            });
        });
    });
}

void RecordingView::setCountdownSeconds(int seconds) {
    countdownSeconds_ = seconds > 0 ? kCountdownSeconds : 0;
    const QString applied = countdownSeconds_ > 0
                                ? tr("已开启开始前倒计时 %1 秒").arg(countdownSeconds_)
                                : tr("已关闭开始前倒计时");
    if (auto saved = settingsStore_->defaults()->setInteger(countdownKey, countdownSeconds_);
        !saved)
        setError(settingsNotSavedText(applied, saved.error()));
    else
        setStatus(applied);
}

void RecordingView::startCountdown() {
    if (parameterController_) parameterController_->close();
    countdownLeft_ = countdownSeconds_;
    parameterButton_->setEnabled(false);
    recordButton_->setText(tr("取消倒计时"));
    countdownLabel_->setText(QString::number(countdownLeft_));
    countdownLabel_->show();
    countdownLabel_->raise();
    setStatus(tr("%1 秒后开始录制…").arg(countdownLeft_));
    countdownTimer_->start();
}

void RecordingView::countdownTick() {
    if (--countdownLeft_ > 0) {
        countdownLabel_->setText(QString::number(countdownLeft_));
        setStatus(tr("%1 秒后开始录制…").arg(countdownLeft_));
        return;
    }
    countdownTimer_->stop();
    countdownLabel_->hide();
    recordButton_->setText(QStringLiteral("开始录制"));
    startRecordingWithMicrophone();
}

void RecordingView::cancelCountdown() {
    countdownTimer_->stop();
    countdownLeft_ = 0;
    countdownLabel_->hide();
    recordButton_->setText(QStringLiteral("开始录制"));
    parameterButton_->setEnabled(true);
    setStatus(tr("已取消倒计时"));
}

void RecordingView::startRecordingWithMicrophone() {
    if (isApplyingRecordingSettings_ || isPreparingRecordingAudio_) return;
    isPreparingRecordingAudio_ = true;
    setRecordButtonEnabled(false);
    parameterButton_->setEnabled(false);
    setStatus(tr("正在准备电脑声音和输入设备…"));

    QPointer<RecordingView> weak(this);
    auto begin = [weak](const QString& statusText) {
        if (!weak) return;
        weak->isPreparingRecordingAudio_ = false;
        weak->setRecordButtonEnabled(true);
        if (weak->stepsAsideWhileRecording()) {
            weak->stepAside();
            QTimer::singleShot(kStepAsideMilliseconds, weak, [weak, statusText] {
                if (!weak) return;
                weak->beginRecording(statusText);
                if (!weak->isRecording()) weak->comeBack();  // nothing started: nothing to hide
            });
            return;
        }
        weak->beginRecording(statusText);
    };
    // The request reads the device state off the main thread and answers on it; an authorised or
    // undetermined microphone is granted, a refused one is not.
    // Without a sound server the picture is recorded alone (with the microphone when it has
    // one); the computer's sound joins as soon as a server answers.
    auto withoutSystemAudio = [weak]() {
        return weak && weak->source_->systemAudioProblem().has_value();
    };
    Permissions::requestMicrophoneAccess([weak, begin, withoutSystemAudio](bool granted) {
        if (!weak) return;
        if (!granted) {
            begin(withoutSystemAudio() ? recordingWithoutSystemAudioText(std::nullopt)
                                       : tr("正在录制（仅电脑声音，麦克风未授权）"));
            return;
        }
        weak->source_->prepareMicrophone(
            [weak, begin, withoutSystemAudio](std::optional<capture::SourceError> error) {
                if (!weak) return;
                if (error) {
                    begin(withoutSystemAudio() ? recordingWithoutSystemAudioText(std::nullopt)
                                               : tr("正在录制（仅电脑声音，输入设备不可用：%1）")
                                                     .arg(fromUtf8(error->description())));
                    return;
                }
                const std::optional<std::string> name = weak->source_->microphoneName();
                const QString microphone =
                    name && !name->empty() ? fromUtf8(*name) : tr("默认输入设备");
                begin(withoutSystemAudio() ? recordingWithoutSystemAudioText(microphone)
                                           : tr("正在录制（电脑声音 + %1）").arg(microphone));
            });
    });
}

void RecordingView::beginRecording(const QString& statusText) {
    if (isApplyingRecordingSettings_ || isRecording()) return;
    finishPipeline_->recordingBegan();  // forgets the previous recording's files and warning
    recordStartTime_ = clock_();
    cameraWindow_->recordingBegan(*recordStartTime_);  // empties the camera window's track
    subtitles_->recordingBegan();  // empties the subtitle track, resets the caption, starts speech
    durationLabel_->setText(QStringLiteral("00:00"));
    startDurationTimer();
    cameraWindow_->recordKeyframe();
    source_->startRecording(cameraWindow_->isShown());
    timeline_ = source_->isRecording() ? source_->recordingTimeline() : nullptr;
    if (source_->isRecording() && source_->mainOutputPath())
        finishPipeline_->recordingStarted(
            *source_->mainOutputPath(),
            source_->shouldRecordPiP() ? source_->pipOutputPath() : std::nullopt,
            source_->recordingFolder());
    updatePauseButton();
    parameterButton_->setEnabled(false);
    setRecordButtonEnabled(true);
    recordButton_->setText(tr("停止录制"));
    recordingStatusText_ = statusText;
    if (const auto& problem = source_->recordingFolderProblem(); problem && isRecording())
        recordingStatusText_ +=
            tr("（录制文件夹不可用：%1，%2；录制暂存于临时文件夹，意外退出后无法恢复）")
                .arg(fromUtf8(problem->code.message()), fromUtf8(problem->path.string()));
    setStatus(recordingStatusText_);
}

void RecordingView::startDurationTimer() {
    durationTimer_->start();  // restarts a running timer
}

void RecordingView::updateDurationLabel() {
    if (!recordStartTime_) return;
    durationLabel_->setText(durationText(recordingClock() - *recordStartTime_));
}

double RecordingView::recordingClock() const {
    const double now = clock_();
    return timeline_ ? now - timeline_->pausedSecondsBefore(now) : now;
}

bool RecordingView::isPaused() const { return timeline_ && timeline_->isPaused(); }

void RecordingView::togglePause() {
    userActed();
    // Only a running recording: not before it began, not once it is being stopped.
    if (!isRecording() || !durationTimer_->isActive() || !timeline_) return;
    const auto now = media::MediaTime::fromSeconds(clock_(), media::MonotonicClock::kTimescale);
    if (isPaused()) {
        if (!source_->resumeRecording(now)) return;
        subtitles_->recordingResumed();
        setStatus(recordingStatusText_);
    } else {
        if (!source_->pauseRecording(now)) return;
        subtitles_->recordingPaused();
        setStatus(tr("已暂停"));
    }
    updatePauseButton();
    updateDurationLabel();
}

void RecordingView::updatePauseButton() {
    const bool running = isRecording() && durationTimer_->isActive() && timeline_;
    pauseButton_->setEnabled(running);
    pauseButton_->setText(running && isPaused() ? tr("继续录制") : tr("暂停录制"));
}

bool RecordingView::stepsAsideWhileRecording() const {
    // The compositor cannot leave our windows out of a whole screen it casts; a window of
    // another program never shows them.
    return target_.kind.isPortal() && target_.kind.capturesWholeScreen();
}

void RecordingView::stepAside() {
    if (isSteppedAside_) return;
    isSteppedAside_ = true;
    const bool trayAvailable = dependencies_.systemTrayAvailable
                                   ? dependencies_.systemTrayAvailable()
                                   : QSystemTrayIcon::isSystemTrayAvailable();
    if (!trayAvailable) {
        // Without a tray the window must stay reachable: it is minimised (desktops that have
        // no minimised state keep it on screen).
        window()->showMinimized();
        setStatus(tr("正在录制整个屏幕：窗口已最小化，恢复窗口后可停止录制"));
        return;
    }
    auto* tray = new QSystemTrayIcon(this);
    QIcon icon = window()->windowIcon();
    if (icon.isNull()) {
        QPixmap dot(32, 32);
        dot.fill(Qt::transparent);
        QPainter painter(&dot);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor(230, 40, 40));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(4, 4, 24, 24);
        icon = QIcon(dot);
    }
    tray->setIcon(icon);
    tray->setToolTip(tr("Zimlo 正在录制整个屏幕"));
    auto* menu = new QMenu(this);
    QAction* stop = menu->addAction(tr("停止录制"));
    connect(stop, &QAction::triggered, this, [this] {
        if (isRecording() && durationTimer_->isActive()) stopRecording();
    });
    QAction* pause = menu->addAction(tr("暂停录制"));
    connect(pause, &QAction::triggered, this, [this] { togglePause(); });
    connect(menu, &QMenu::aboutToShow, pause,
            [this, pause] { pause->setText(isPaused() ? tr("继续录制") : tr("暂停录制")); });
    tray->setContextMenu(menu);
    connect(tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason) {
        if (isRecording() && durationTimer_->isActive()) stopRecording();
    });
    tray->show();
    trayIcon_ = tray;
    trayMenu_ = menu;
    window()->hide();
}

void RecordingView::comeBack() {
    if (!isSteppedAside_) return;
    isSteppedAside_ = false;
    if (trayIcon_) {
        trayIcon_->hide();
        trayIcon_->deleteLater();
    }
    if (trayMenu_) trayMenu_->deleteLater();
    window()->showNormal();
    window()->raise();
    window()->activateWindow();
}

void RecordingView::stopRecording() {
    comeBack();
    durationTimer_->stop();
    updatePauseButton();
    subtitles_->recordingStopped();
    setRecordButtonEnabled(false);
    parameterButton_->setEnabled(false);
    recordButton_->setText(tr("正在整理…"));
    setStatus(tr("正在保存录屏和摄像头小窗…"));
    source_->stopRecording();
}

void RecordingView::recordingFailed(const capture::WriterError& error) {
    // The source has stopped the recording; the window stops with it and the finish pipeline
    // keeps what was written.
    const QString reason = recordingFailureReason(error);
    finishPipeline_->recordingInterrupted(reason);
    if (durationTimer_->isActive()) stopRecording();
    // A status, not a held error: the finish's own lines carry the reason on to the outcome.
    setStatus(tr("%1，录制已停止，正在保存已录制的部分…").arg(reason));
}

void RecordingView::closeTapped() {
    userActed();
    if (isCountingDown()) cancelCountdown();
    if (isRecording()) {
        // Closing during a recording keeps it: it is stopped and saved like any other.
        if (durationTimer_->isActive()) stopRecording();  // not yet stopped
        return;
    }
    source_->shutdown();
    if (onCancel) {
        auto cancel = onCancel;  // the handler may release this controller
        cancel();
    }
}

void RecordingView::cameraToggleChanged() {
    userActed();
    cameraWindow_->toggleChanged();
}

void RecordingView::parameterTapped() {
    userActed();
    if (isRecording() || isCountingDown() || isApplyingRecordingSettings_) return;
    if (parameterController_) parameterController_->close();
    auto* controller =
        new RecordingParameterPopover(recordingSettings_, availableResolutions_, this);
    parameterController_ = controller;
    QPointer<RecordingView> weak(this);
    QPointer<RecordingParameterPopover> weakController(controller);
    controller->onChange = [weak, weakController](const RecordingSettings& settings) {
        if (!weak) return;
        if (weakController) weakController->setInteractionEnabled(false);
        weak->applyRecordingSettings(settings);
    };
    auto* shortcuts = new GlobalShortcutEditor(shortcutSettings_, globalShortcutsAvailable_);
    shortcuts->onChange = [weak](const GlobalShortcutSettings& settings) {
        if (weak) weak->applyGlobalShortcuts(settings);
    };
    controller->addSection(shortcuts);
    auto* countdown = new QCheckBox(tr("开始录制前倒计时 %1 秒").arg(kCountdownSeconds));
    countdown->setObjectName(QStringLiteral("countdownToggle"));
    countdown->setChecked(countdownSeconds_ > 0);
    connect(countdown, &QCheckBox::clicked, this,
            [this](bool on) { setCountdownSeconds(on ? kCountdownSeconds : 0); });
    auto* countdownRow = new QWidget;
    countdownRow->setLayout(formRow(tr("倒计时"), countdown, 200));
    controller->addSection(countdownRow);
    auto* microphone = new QComboBox;
    microphone->setObjectName(QStringLiteral("microphoneChoice"));
    fillMicrophoneChoice(microphone);
    auto* microphoneRow = new QWidget;
    microphoneRow->setLayout(formRow(tr("麦克风"), microphone, 200));
    controller->addSection(microphoneRow);
    // The toolbar sits at the bottom of the window, so the panel opens above the button.
    controller->popUpAbove(parameterButton_);
}

void RecordingView::applyRecordingSettings(const RecordingSettings& settings) {
    recordingSettings_ = settings;
    const int64_t serial = ++settingsUpdateSerial_;
    isApplyingRecordingSettings_ = true;
    parameterButton_->setEnabled(false);
    setRecordButtonEnabled(false);
    setStatus(tr("正在应用录制参数…"));
    QPointer<RecordingView> weak(this);
    source_->applyRecordingSettings(
        settings, [weak, serial, settings](std::optional<capture::SourceError> error) {
            if (!weak || serial != weak->settingsUpdateSerial_)
                return;  // superseded by a newer change
            RecordingView& self = *weak;
            self.isApplyingRecordingSettings_ = false;
            self.parameterButton_->setEnabled(!self.isRecording());
            if (self.parameterController_) self.parameterController_->setInteractionEnabled(true);
            self.setRecordButtonEnabled(true);
            if (error) {
                self.setError(tr("参数应用失败：%1").arg(fromUtf8(error->description())));
                return;
            }
            const QString applied = tr("参数已更新：%1").arg(fromUtf8(settings.summary()));
            if (auto saved = self.settingsStore_->save(settings); !saved)
                self.setError(settingsNotSavedText(applied, saved.error()));
            else
                self.setStatus(applied);
        });
}

void RecordingView::whenSubtitlesSettled(std::function<void()> done) {
    // Everything said before the stop: recognition has ended, so it settles completely.
    subtitles_->whenSettled(std::numeric_limits<double>::infinity(), kSubtitleSettleLimitSeconds,
                            std::move(done));
}

FinishInputs RecordingView::takeFinishInputs() {
    subtitles_->endSession();
    return gatheredInputs();
}

std::optional<FollowInputs> RecordingView::followInputs() const {
    // Only while the recording runs: after the stop the files say where it ends.
    if (!isRecording() || !durationTimer_->isActive()) return std::nullopt;
    FollowInputs inputs;
    inputs.gathered = gatheredInputs();
    inputs.subtitlesSettledUntil = subtitles_->settledTime();
    const auto statistics = source_->statistics();
    inputs.screenFrames =
        CaptureFrameCounts{statistics.screenFramesDelivered,
                           statistics.screenFramesDropped + statistics.screenWriterDroppedVideo};
    return inputs;
}

FinishInputs RecordingView::gatheredInputs() const {
    FinishInputs inputs;
    inputs.aspect = aspect_;
    inputs.pipTrack = cameraWindow_->track();
    inputs.subtitleTrack = subtitles_->subtitleTrack();
    inputs.subtitleLayout = subtitleLayout_;
    inputs.isSubtitleEnabled = subtitles_->isSubtitleEnabled();
    inputs.latestCaptureStatus = latestCaptureStatus_;
    inputs.recordingSettings = recordingSettings_;
    inputs.elapsed = recordStartTime_ ? std::max(0.0, recordingClock() - *recordStartTime_) : 0;
    return inputs;
}

bool RecordingView::compositionExpected() const {
    RecordingProject gathered;
    gathered.aspect = aspect_;
    if (subtitles_->isSubtitleEnabled()) gathered.subtitleTrack = subtitles_->subtitleTrack();
    return gathered.needsComposition();
}

void RecordingView::subtitleSegmentsAdded(const std::vector<SubtitleSegment>& segments) {
    // Kept beside the movies as they come, so that a crash does not take the subtitles along.
    const auto& folder = source_->recordingFolder();
    if (!folder) return;
    for (const SubtitleSegment& segment : segments) {
        // One that cannot be encoded is not storable anyway: the draft's document could not
        // hold it either.
        if (auto text = subtitleSegmentText(segment))
            (void)folder->appendToJournal(*text);  // failures are logged
    }
}

void RecordingView::finishStatusChanged(const QString& status) { setStatus(status); }

void RecordingView::processingOverlayShown(const QString& title, const QString& detail) {
    processingTitleLabel_->setText(title);
    processingDetailLabel_->setText(detail);
    cancelCompositionButton_->setVisible(finishPipeline_->canCancelExport());
    processingOverlay_->show();
    processingOverlay_->raise();
    static_cast<SpinningIndicator*>(processingIndicator_)->startAnimation();
    // The overlay hides the previews: their capture and conversion would only slow the export.
    if (!arePreviewsSuspended_) {
        arePreviewsSuspended_ = true;
        source_->suspendPreviews();
    }
}

void RecordingView::processingTitleChanged(const QString& title) {
    processingTitleLabel_->setText(title);
}

void RecordingView::processingOverlayHidden() {
    cancelCompositionButton_->hide();
    static_cast<SpinningIndicator*>(processingIndicator_)->stopAnimation();
    processingOverlay_->hide();
}

void RecordingView::finishEnded(const std::optional<RecordingProject>& saved) {
    recordStartTime_.reset();
    timeline_.reset();
    cameraWindow_->recordingEnded();
    setRecordButtonEnabled(true);
    parameterButton_->setEnabled(true);
    recordButton_->setText(tr("开始录制"));
    QPointer<RecordingView> alive(this);
    if (saved && onFinish) {
        auto finish = onFinish;  // the handler may release this controller
        finish(*saved);
    }
    // Live again for the next recording, unless the handler closed the window.
    if (alive && isVisible()) resumePreviews();
}

void RecordingView::resumePreviews() {
    if (!arePreviewsSuspended_) return;
    arePreviewsSuspended_ = false;
    QPointer<RecordingView> weak(this);
    source_->resumePreviews([weak](std::optional<capture::SourceError> error) {
        if (weak && error) weak->cameraWindow_->restartFailed(*error);
    });
}

std::optional<double> RecordingView::recordingElapsed() const {
    if (!recordStartTime_) return std::nullopt;
    return std::max(0.0, recordingClock() - *recordStartTime_);
}

void RecordingView::subtitleStatusChanged(const QString& status) { setStatus(status); }

void RecordingView::prepareMicrophone(std::function<void(std::optional<std::string>)> completion) {
    source_->prepareMicrophone(
        [completion = std::move(completion)](std::optional<capture::SourceError> error) {
            if (error) {
                completion(error->description());
            } else {
                completion(std::nullopt);
            }
        });
}

void RecordingView::subtitleToggleChanged() {
    userActed();
    subtitles_->toggleChanged();
}

void RecordingView::speechModelMissing(bool missing) {
    // An installation under way keeps its button (disabled) until it ends.
    installModelButton_->setVisible(missing || (modelInstallJob_ && modelInstallJob_->isRunning()));
}

void RecordingView::installModelTapped() {
    userActed();
    if (modelInstallJob_ && modelInstallJob_->isRunning()) return;
    QString source;
    if (dependencies_.chooseSpeechModel) {
        source = dependencies_.chooseSpeechModel(window());
    } else {
        source = QFileDialog::getOpenFileName(
            window(), tr("选择下载的语音模型"),
            QStandardPaths::writableLocation(QStandardPaths::DownloadLocation),
            tr("语音模型压缩包 (*.tar.gz *.tgz *.tar.bz2 *.tar.xz *.tar *.zip);;所有文件 (*)"));
    }
    if (source.isEmpty()) return;
    if (!modelInstallJob_) {
        modelInstallJob_ = new SpeechModelInstallJob(dependencies_.modelTool, this);
        QPointer<RecordingView> weak(this);
        modelInstallJob_->onProgress = [weak](const QString& step) {
            if (!weak) return;
            const QString text = tr("正在安装语音模型：%1").arg(step);
            weak->setStatus(text);
            // The status line gives way to the capture's reports; the region keeps the step.
            if (weak->subtitles_->isSpeechModelMissing()) weak->subtitleRegion_->showNotice(text);
        };
        modelInstallJob_->onFinished = [weak](const std::optional<QString>& error) {
            if (weak) weak->speechModelInstallEnded(error);
        };
    }
    installModelButton_->setEnabled(false);
    installModelButton_->setText(tr("正在安装语音模型…"));
    const std::string locale = subtitles_->speech() && subtitles_->speech()->recognizer()
                                   ? subtitles_->speech()->recognizer()->locale()
                                   : std::string(rawValue(Language::chinese));
    modelInstallJob_->start(source, locale);
}

void RecordingView::speechModelInstallEnded(const std::optional<QString>& error) {
    installModelButton_->setEnabled(true);
    installModelButton_->setText(tr("安装语音模型…"));
    const std::string locale = subtitles_->speech() && subtitles_->speech()->recognizer()
                                   ? subtitles_->speech()->recognizer()->locale()
                                   : std::string(rawValue(Language::chinese));
    if (error) {
        installModelButton_->setVisible(subtitles_->isSpeechModelMissing());
        if (subtitles_->isSpeechModelMissing())
            subtitleRegion_->showNotice(speechModelMissingNotice(locale),
                                        speechModelMissingStatus(locale));
        setError(tr("语音模型安装失败：%1").arg(*error));
        return;
    }
    if (!subtitles_->speechModelInstalled()) {
        ZIMLO_LOG_ERROR("recording") << "the speech model was installed but is not found";
        installModelButton_->setVisible(subtitles_->isSpeechModelMissing());
        setError(tr("语音模型已安装，但未能找到它，请重新打开录制窗口"));
        return;
    }
    installModelButton_->hide();
    setStatus(subtitles_->isSubtitleEnabled() ? tr("语音模型已安装，字幕已开启")
                                              : tr("语音模型已安装"));
}

}  // namespace zimlo::recording
