#include "recording/CameraWindowFlow.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QWidget>

#include "platform/runtime/WeakOwner.h"
#include "recording/CameraPreviewView.h"
#include "recording/PermissionAlert.h"
#include "recording/Permissions.h"
#include "recording/RecordingWindowText.h"

namespace zimlo::recording {
namespace {

constexpr QSize kPiPSize(220, 150);

QString fromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

std::shared_ptr<CameraWindowFlow> CameraWindowFlow::create(Host& host, QAbstractButton* toggle,
                                                           QWidget* container, QWidget* keptOnTop,
                                                           std::function<double()> clock) {
    return std::make_shared<CameraWindowFlow>(Private{}, host, toggle, container, keptOnTop,
                                              std::move(clock));
}

CameraWindowFlow::CameraWindowFlow(Private, Host& host, QAbstractButton* toggle, QWidget* container,
                                   QWidget* keptOnTop, std::function<double()> clock)
    : host_(host),
      toggle_(toggle),
      container_(container),
      keptOnTop_(keptOnTop),
      recorder_(std::move(clock)) {}

CameraWindowFlow::~CameraWindowFlow() = default;

void CameraWindowFlow::setEnabled(bool enabled) {
    enabled_ = enabled;
    host_.cameraWindowEnabledChanged(enabled);
}

void CameraWindowFlow::toggleChanged() {
    if (!toggle_->isChecked()) {
        setEnabled(false);
        removeWindow();
        host_.cameraSource().stopCamera();
        return;
    }
    toggle_->setEnabled(false);
    host_.cameraStatusChanged(
        QCoreApplication::translate("CameraWindowFlow", "正在请求摄像头权限…"));
    Permissions::requestCameraAccess(
        weakly(weak_from_this(), [](CameraWindowFlow& self, CameraAuthorizationResult result) {
            switch (result) {
                case CameraAuthorizationResult::authorized:
                    self.start();
                    break;
                case CameraAuthorizationResult::denied:
                    self.failed(QCoreApplication::translate(
                        "CameraWindowFlow", "摄像头权限未开启，已打开系统授权页面"));
                    break;
                case CameraAuthorizationResult::restricted:
                    self.failed(QCoreApplication::translate(
                        "CameraWindowFlow", "当前设备限制了摄像头访问，已打开系统授权页面"));
                    break;
            }
        }));
}

void CameraWindowFlow::start() {
    host_.cameraStatusChanged(QCoreApplication::translate("CameraWindowFlow", "正在开启摄像头…"));
    std::weak_ptr<CameraWindowFlow> weak = weak_from_this();
    host_.cameraSource().startCamera(weakly(
        weak, [weak](CameraWindowFlow& self, capture::ScreenCameraSource::CameraStart start) {
            self.toggle_->setEnabled(true);
            if (start.error || !start.previewLayer) {
                self.toggle_->setChecked(false);
                self.setEnabled(false);
                if (!Permissions::isGranted(
                        Permissions::authorizationStatus(PermissionKind::camera))) {
                    self.failed(QCoreApplication::translate(
                        "CameraWindowFlow", "摄像头权限未开启，已打开系统授权页面"));
                }
                const QString description =
                    start.error ? fromUtf8(start.error->description())
                                : QCoreApplication::translate("CameraWindowFlow", "没有画面");
                self.host_.cameraFailed(
                    QCoreApplication::translate("CameraWindowFlow", "无法开启摄像头：%1")
                        .arg(description));
                return;
            }
            // The user may have switched the camera off while it was starting.
            if (!self.toggle_->isChecked()) {
                self.host_.cameraSource().stopCamera();
                return;
            }
            self.setEnabled(true);
            if (!self.view_) {
                auto* preview = new CameraPreviewView(start.previewLayer);
                auto* pip = new DraggablePiPView(preview, self.container_);
                pip->setGeometry(QRect(QPoint(0, 0), kPiPSize));
                pip->onLayoutChanged =
                    weakly(weak, [](CameraWindowFlow& flow) { flow.recordKeyframe(); });
                self.view_ = pip;
                pip->show();
                pip->raise();
                if (self.keptOnTop_) self.keptOnTop_->raise();
                self.placeIfNeeded();
            }
            self.recordKeyframe();
            self.host_.cameraStatusChanged(
                QCoreApplication::translate("CameraWindowFlow", "摄像头小窗已开启"));
        }));
}

void CameraWindowFlow::failed(const QString& message) {
    toggle_->setEnabled(true);
    toggle_->setChecked(false);
    setEnabled(false);
    removeWindow();
    host_.cameraSource().stopCamera();
    host_.cameraFailed(message);
    PermissionAlert::openSettings(PermissionKind::camera);
}

void CameraWindowFlow::restartFailed(const capture::SourceError& error) {
    toggle_->setChecked(false);
    setEnabled(false);
    removeWindow();
    host_.cameraFailed(QCoreApplication::translate("CameraWindowFlow", "无法开启摄像头：%1")
                           .arg(fromUtf8(error.description())));
}

void CameraWindowFlow::removeWindow() {
    if (view_) {
        view_->hide();
        view_->deleteLater();
        view_ = nullptr;
    }
    recorder_.clear();
}

void CameraWindowFlow::placeIfNeeded() {
    if (!view_ || !container_) return;
    if (auto frame = defaultPiPFrame(view_->geometry(), container_->size()))
        view_->setGeometry(*frame);
}

void CameraWindowFlow::recordKeyframe() { recorder_.record(enabled_, view_, container_); }

}  // namespace zimlo::recording
